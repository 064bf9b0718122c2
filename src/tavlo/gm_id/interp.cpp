// implemented in its own change
