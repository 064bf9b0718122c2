#include "tavlo/worker.hpp"

#include <fcntl.h>
#include <locale.h>
#include <poll.h>
#include <unistd.h>
#include <wctype.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace tavlo {

namespace {

// ---- text (every string here is valid UTF-8) ----

bool ascii_space(unsigned char c) { return c == ' ' || (c >= 0x09 && c <= 0x0d); }

// Byte length of the Unicode white-space character that starts at s[i], or 0.
std::size_t space_at(std::string_view s, std::size_t i) {
    auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) return ascii_space(c) ? 1 : 0;
    if (i + 1 >= s.size()) return 0;
    auto c1 = static_cast<unsigned char>(s[i + 1]);
    if (c == 0xc2) return (c1 == 0x85 || c1 == 0xa0) ? 2 : 0;  // NEL, NBSP
    if (i + 2 >= s.size()) return 0;
    auto c2 = static_cast<unsigned char>(s[i + 2]);
    if (c == 0xe1) return (c1 == 0x9a && c2 == 0x80) ? 3 : 0;  // U+1680
    if (c == 0xe2 && c1 == 0x80)                                // U+2000..200A, 2028, 2029, 202F
        return (c2 <= 0x8a || c2 == 0xa8 || c2 == 0xa9 || c2 == 0xaf) ? 3 : 0;
    if (c == 0xe2 && c1 == 0x81) return c2 == 0x9f ? 3 : 0;     // U+205F
    if (c == 0xe3) return (c1 == 0x80 && c2 == 0x80) ? 3 : 0;  // U+3000
    return 0;
}

// Byte length of the white-space character that ends just before s[end], or 0.
std::size_t space_before(std::string_view s, std::size_t end) {
    if (end == 0) return 0;
    if (static_cast<unsigned char>(s[end - 1]) < 0x80) return ascii_space(s[end - 1]) ? 1 : 0;
    if (end >= 2 && space_at(s, end - 2) == 2) return 2;
    if (end >= 3 && space_at(s, end - 3) == 3) return 3;
    return 0;
}

std::string_view trim_start(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        std::size_t n = space_at(s, i);
        if (n == 0) break;
        i += n;
    }
    return s.substr(i);
}

std::string_view trim_end(std::string_view s) {
    std::size_t end = s.size();
    while (std::size_t n = space_before(s, end)) end -= n;
    return s.substr(0, end);
}

std::string_view trim(std::string_view s) { return trim_end(trim_start(s)); }

std::string_view first_token(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && space_at(s, i) == 0) ++i;
    return s.substr(0, i);
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool starts_with_ci(std::string_view s, std::string_view word) {
    return s.size() >= word.size() && equals_ignore_ascii_case(s.substr(0, word.size()), word);
}

// `word` must be lower case.
bool contains_ci(std::string_view s, std::string_view word) {
    return std::search(s.begin(), s.end(), word.begin(), word.end(),
                       [](char a, char b) { return lower(a) == b; }) != s.end();
}

char32_t decode_utf8(std::string_view s, std::size_t& i) {
    auto c = static_cast<unsigned char>(s[i]);
    int extra = c < 0x80 ? 0 : c < 0xe0 ? 1 : c < 0xf0 ? 2 : 3;
    char32_t cp = extra == 0 ? c : c & (0x3f >> extra);
    for (int k = 0; k < extra; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[++i]) & 0x3f);
    ++i;
    return cp;
}

// Letters and numbers in the Unicode sense, by the C library's UTF-8 tables.
bool letter_or_number(char32_t cp) {
    if (cp < 0x80) return (cp >= 'a' && cp <= 'z') || (cp >= 'A' && cp <= 'Z') || (cp >= '0' && cp <= '9');
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    return utf8 && iswalnum_l(static_cast<wint_t>(cp), utf8);
}

bool valid_measure_name(std::string_view name) {
    if (name.empty()) return false;
    for (std::size_t i = 0; i < name.size();) {
        char32_t cp = decode_utf8(name, i);
        if (cp != '_' && !letter_or_number(cp)) return false;
    }
    return true;
}

bool digit(char c) { return c >= '0' && c <= '9'; }

// A decimal number (sign, digits, fraction, exponent) or inf/infinity/nan in any case; no units.
std::optional<double> parse_number(std::string_view text) {
    std::string_view body = text;
    bool negative = false;
    if (!body.empty() && (body[0] == '+' || body[0] == '-')) {
        negative = body[0] == '-';
        body.remove_prefix(1);
    }
    if (equals_ignore_ascii_case(body, "inf") || equals_ignore_ascii_case(body, "infinity"))
        return negative ? -HUGE_VAL : HUGE_VAL;
    if (equals_ignore_ascii_case(body, "nan")) return negative ? -std::nan("") : std::nan("");
    std::size_t i = 0, mantissa_digits = 0;
    while (i < body.size() && digit(body[i])) ++i, ++mantissa_digits;
    if (i < body.size() && body[i] == '.') {
        ++i;
        while (i < body.size() && digit(body[i])) ++i, ++mantissa_digits;
    }
    if (mantissa_digits == 0) return std::nullopt;
    if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
        ++i;
        if (i < body.size() && (body[i] == '+' || body[i] == '-')) ++i;
        std::size_t exponent_digits = 0;
        while (i < body.size() && digit(body[i])) ++i, ++exponent_digits;
        if (exponent_digits == 0) return std::nullopt;
    }
    if (i != body.size()) return std::nullopt;
    // strtod in the C locale: the host program's locale must not change the decimal point.
    static const locale_t c_locale = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
    std::string copy(text);
    return strtod_l(copy.c_str(), nullptr, c_locale);  // overflow gives ±inf, underflow 0
}

// ngspice runs a command in its background thread exactly when it starts with "bg_",
// except for these two, which control that thread.
bool launches_background_thread(std::string_view command) {
    return starts_with_ci(command, "bg_") && !equals_ignore_ascii_case(command, "bg_halt") &&
           !equals_ignore_ascii_case(command, "bg_pstop");
}

// ---- descriptors ----

// Frames go to a private copy of descriptor 1 and requests come from a private copy of
// descriptor 0. Descriptor 1 is pointed at standard error and descriptor 0 at /dev/null, so that
// ngspice's `shell` command, code models or a .spiceinit can neither write into the frame stream
// nor swallow requests. The copies are close-on-exec, so `shell` children never hold the pipes.
class PrivateStreams {
public:
    Status open() {
        out_ = fcntl(1, F_DUPFD_CLOEXEC, 3);
        if (out_ < 0) return NgspiceError::from_errno(errno);
        in_ = fcntl(0, F_DUPFD_CLOEXEC, 3);
        if (in_ < 0) return NgspiceError::from_errno(errno);
        if (dup2(2, 1) < 0) redirect_to_null(1, O_WRONLY);
        redirect_to_null(0, O_RDONLY);
        return ok_status();
    }
    ~PrivateStreams() {
        restore(out_, 1);
        restore(in_, 0);
    }
    int in() const { return in_; }
    int out() const { return out_; }

private:
    static void redirect_to_null(int fd, int mode) {
        int null = ::open("/dev/null", mode | O_CLOEXEC);
        if (null < 0) return;
        dup2(null, fd);
        close(null);
    }
    static void restore(int saved, int fd) {
        if (saved < 0) return;
        dup2(saved, fd);
        close(saved);
    }
    int in_ = -1;
    int out_ = -1;
};

// Lines split at line feeds; "\n" or "\r\n" removed; each must be UTF-8.
class LineReader {
public:
    explicit LineReader(int fd) : fd_(fd) {}

    /// False at end of input.
    Result<bool> next(std::string& line) {
        for (;;) {
            std::size_t nl = buf_.find('\n', scanned_);
            if (nl != std::string::npos) {
                line.assign(buf_, pos_, nl - pos_);
                pos_ = scanned_ = nl + 1;
                if (!line.empty() && line.back() == '\r') line.pop_back();
                break;
            }
            scanned_ = buf_.size();
            if (eof_) {
                if (pos_ == buf_.size()) return false;
                line.assign(buf_, pos_);
                pos_ = scanned_ = buf_.size();
                break;
            }
            if (Status s = fill(); !s) return s.error();
        }
        if (!is_valid_utf8(line)) return NgspiceError::io("stream did not contain valid UTF-8");
        return true;
    }

private:
    Status fill() {
        buf_.erase(0, pos_);
        scanned_ -= pos_;
        pos_ = 0;
        await_input();
        ssize_t n;
        do {
            n = ::read(fd_, chunk_.get(), kChunk);
        } while (n < 0 && errno == EINTR);
        if (n < 0) return NgspiceError::from_errno(errno);
        if (n == 0) eof_ = true;
        buf_.append(chunk_.get(), static_cast<std::size_t>(n));
        return ok_status();
    }

    // Watches for input for a moment before read() may put the thread to sleep: a pool with
    // queued work sends the next request within microseconds, while waking a sleeping core
    // costs tens of them on virtual machines. Costs at most kWatch of processor time an answer.
    void await_input() const {
        auto until = std::chrono::steady_clock::now() + kWatch;
        pollfd p{fd_, POLLIN, 0};
        while (poll(&p, 1, 0) == 0 && std::chrono::steady_clock::now() < until) {
        }
    }

    static constexpr auto kWatch = std::chrono::microseconds(50);
    static constexpr std::size_t kChunk = 64 * 1024;
    int fd_;
    std::unique_ptr<char[]> chunk_ = std::make_unique_for_overwrite<char[]>(kChunk);
    std::string buf_;
    std::size_t pos_ = 0;      // start of the next line
    std::size_t scanned_ = 0;  // bytes known to hold no line feed
    bool eof_ = false;
};

// Every so many requests the command history is dropped: each ngSpice_Command keeps a copy.
constexpr std::uint64_t kForgetHistoryEvery = 64;

}  // namespace

// ---- callback state ----

void SimState::reset() {
    log_lines.clear();
    init_vector_names.clear();
    first_error.reset();
    had_error = false;
}

void SimState::note_error(const std::string& text) {
    had_error = true;
    if (!first_error) first_error = text;
}

bool is_error_line(std::string_view line) {
    if (line.starts_with("stderr ") && contains_ci(line, "error")) return true;
    // A misspelt command: ngspice says so on stderr and still returns 0.
    if (line.starts_with("stderr ") && line.ends_with(": no such command available in ngspice")) return true;
    return starts_with_ci(line, "error");
}

int send_char(char* text, int, void* user) {
    if (!text || !user) return 0;
    auto* state = static_cast<SimState*>(user);
    std::string line = utf8_lossy(text);
    std::lock_guard lock(state->mutex);
    if (is_error_line(line)) state->note_error(line);
    state->log_lines.push_back(std::move(line));
    return 0;
}

int send_stat(char*, int, void*) { return 0; }

int controlled_exit(int status, NG_BOOL, NG_BOOL, int, void* user) {
    if (!user) return 0;
    auto* state = static_cast<SimState*>(user);
    std::string text = "ngspice requested controlled exit with status " + std::to_string(status);
    std::lock_guard lock(state->mutex);
    state->exit_requested = true;
    state->note_error(text);
    state->log_lines.push_back(std::move(text));
    return 0;
}

int send_init_data(pvecinfoall info, int, void* user) {
    if (!info || !user) return 0;
    auto* state = static_cast<SimState*>(user);
    std::lock_guard lock(state->mutex);
    state->init_vector_names.clear();
    for (int i = 0; info->vecs && i < info->veccount; ++i) {
        const vecinfo* v = info->vecs[i];
        if (v && v->vecname) state->init_vector_names.push_back(utf8_lossy(v->vecname));
    }
    return 0;
}

// ngspice passes "the thread has exited" here: false when its thread starts, true when it ends.
int bg_thread_running(NG_BOOL exited, int, void* user) {
    if (!user) return 0;
    auto* state = static_cast<SimState*>(user);
    {
        std::lock_guard lock(state->mutex);
        ++(exited ? state->bg_exited : state->bg_started);
    }
    state->bg_changed.notify_all();
    return 0;
}

// ---- request pieces ----

std::vector<Measure> parse_measures(const std::vector<std::string>& log_lines) {
    std::vector<Measure> out;
    for (const std::string& entry : log_lines) {
        std::string_view r = trim(entry);
        if (r.starts_with("stdout ") || r.starts_with("stderr ")) r.remove_prefix(7);
        std::size_t eq = r.find('=');
        if (eq == std::string_view::npos) continue;
        std::string_view name = trim(r.substr(0, eq));
        std::string_view value = trim(r.substr(eq + 1));
        if (value.empty() || value.starts_with("FAILED")) continue;
        std::optional<double> v = parse_number(first_token(value));
        if (!v || !valid_measure_name(name)) continue;
        out.emplace_back(std::string(name), *v);
    }
    return out;
}

VectorData extract_vector_data(const vector_info& info, std::string name) {
    VectorData v;
    v.is_scale = is_scale_name(name);
    v.name = std::move(name);
    auto n = static_cast<std::size_t>(std::max(info.v_length, 0));
    if (info.v_compdata) {
        auto& pairs = v.complex.emplace();
        pairs.reserve(n);
        v.real.reserve(n);
        for (std::size_t i = 0; i < n; ++i) {
            pairs.emplace_back(info.v_compdata[i].cx_real, info.v_compdata[i].cx_imag);
            v.real.push_back(info.v_compdata[i].cx_real);
        }
    } else if (info.v_realdata) {
        v.real.assign(info.v_realdata, info.v_realdata + n);
    }
    return v;
}

bool is_blank(std::string_view text) { return trim_start(text).empty(); }

bool netlist_has_end(std::string_view netlist) {
    std::string_view t = trim_end(netlist);
    std::size_t nl = t.rfind('\n');
    std::string_view last = nl == std::string_view::npos ? t : t.substr(nl + 1);
    return equals_ignore_ascii_case(trim(last), ".end");
}

std::vector<std::string> netlist_lines(std::string_view netlist) {
    std::string_view t = trim_end(netlist);
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (;;) {
        std::size_t nl = t.find('\n', start);
        std::string_view l = t.substr(start, nl == std::string_view::npos ? std::string_view::npos : nl - start);
        if (l.ends_with('\r')) l.remove_suffix(1);
        std::string& line = lines.emplace_back(l);
        std::replace(line.begin(), line.end(), '\0', ' ');
        if (nl == std::string_view::npos) break;
        start = nl + 1;
    }
    return lines;
}

// ---- Simulator ----

Simulator::Simulator(Ngspice ng, std::unique_ptr<SimState> state) : state_(std::move(state)), ng_(std::move(ng)) {}

Result<std::unique_ptr<Simulator>> Simulator::start(const std::optional<std::string>& library) {
    Result<Ngspice> ng = Ngspice::load(library);
    if (!ng) return ng.error();
    auto state = std::make_unique<SimState>();
    int r = ng->init(send_char, send_stat, controlled_exit, nullptr, send_init_data, bg_thread_running, state.get());
    if (r != 0) return NgspiceError::init_failed("ngSpice_Init returned " + std::to_string(r));
    std::unique_ptr<Simulator> sim(new Simulator(std::move(*ng), std::move(state)));
    // Debian's ngspice evaluates BSIM devices on two OpenMP threads; side-by-side workers then
    // slow each other down many times over. The pool's processes are the parallelism.
    sim->command("set num_threads=1");
    return sim;
}

Simulator::~Simulator() {
    if (exit_requested()) {
        ng_.leak();
        return;
    }
    wait_for_background_idle();
}

bool Simulator::exit_requested() {
    std::lock_guard lock(state_->mutex);
    return state_->exit_requested;
}

int Simulator::command(const std::string& text) {
    std::string copy = text;  // ngspice takes a mutable string
    return ng_.command(copy.data());
}

void Simulator::wait_for_background_idle() {
    std::unique_lock lock(state_->mutex);
    state_->bg_changed.wait(lock, [&] { return state_->bg_exited >= state_->bg_started; });
}

void Simulator::wait_for_background(std::uint64_t started_before) {
    std::unique_lock lock(state_->mutex);
    // The thread announces itself when it starts; if it never does, don't hang on it.
    if (!state_->bg_changed.wait_for(lock, std::chrono::seconds(5),
                                     [&] { return state_->bg_started > started_before; }))
        return;
    state_->bg_changed.wait(lock, [&] { return state_->bg_exited >= state_->bg_started; });
}

SimulationResponse Simulator::handle(const SimulationRequest& request) {
    SimulationResponse answer;
    answer.id = request.id;
    {
        std::lock_guard lock(state_->mutex);
        state_->reset();
    }
    if (!netlist_has_end(request.netlist)) {
        answer.log = {"netlist must end with .end"};
        answer.error = "netlist does not end with .end";
        return answer;
    }

    std::vector<std::string> lines = netlist_lines(request.netlist);
    std::vector<char*> pointers;
    pointers.reserve(lines.size() + 1);
    for (std::string& l : lines) pointers.push_back(l.data());
    pointers.push_back(nullptr);
    int r = ng_.circ(pointers.data());
    // Even a circuit that failed to load may leave one behind: the clean-up removes it.
    circuit_loaded_ = true;
    if (r != 0) {
        std::lock_guard lock(state_->mutex);
        answer.log = std::move(state_->log_lines);
        answer.error = "ngSpice_Circ failed with code " + std::to_string(r);
        // The code alone says nothing; the reason is in what ngspice printed.
        std::optional<std::string> why = state_->first_error;
        for (auto it = answer.log.rbegin(); !why && it != answer.log.rend(); ++it)
            if (it->starts_with("stderr ")) why = *it;
        if (why) {
            std::string_view text = *why;
            if (text.starts_with("stdout ") || text.starts_with("stderr ")) text.remove_prefix(7);
            if (!trim(text).empty()) *answer.error += ": " + std::string(trim(text));
        }
        return answer;
    }

    bool commands_ok = true;
    for (const std::string& given : request.commands) {
        const std::string sent = given.find('\0') == std::string::npos ? given : std::string();
        std::uint64_t started_before;
        {
            std::lock_guard lock(state_->mutex);
            started_before = state_->bg_started;
        }
        int rc = command(sent);
        // Collecting while ngspice's thread still simulates would read half-made vectors.
        if (launches_background_thread(sent)) wait_for_background(started_before);
        std::lock_guard lock(state_->mutex);
        if (rc != 0) {
            std::string message = "command '" + given + "' failed with code " + std::to_string(rc);
            state_->note_error(message);
            state_->log_lines.push_back(std::move(message));
            commands_ok = false;
            break;
        }
        // After an exit request the library is unusable: no further calls into it.
        if (state_->exit_requested) {
            commands_ok = false;
            break;
        }
    }
    if (commands_ok) answer.vectors = collect_vectors(request.return_vectors);

    std::lock_guard lock(state_->mutex);
    answer.success = commands_ok && !state_->had_error;
    answer.log = std::move(state_->log_lines);
    state_->log_lines.clear();
    answer.error = state_->first_error;
    answer.measures = parse_measures(answer.log);
    return answer;
}

std::vector<VectorData> Simulator::collect_vectors(const std::optional<std::vector<std::string>>& wanted) {
    auto selected = [&](std::string_view name, std::string_view qualified) {
        if (!wanted) return true;
        return std::any_of(wanted->begin(), wanted->end(), [&](const std::string& w) {
            return equals_ignore_ascii_case(w, name) ||
                   (!qualified.empty() && equals_ignore_ascii_case(w, qualified));
        });
    };
    auto fetch = [&](const std::string& name) {
        std::string copy = name;
        return ng_.get_vec_info(copy.data());  // one static record, overwritten by the next call
    };

    std::vector<std::string> plots;
    for (std::string& p : read_c_string_list(ng_.all_plots()))
        if (!equals_ignore_ascii_case(p, "const") && !p.starts_with("const")) plots.push_back(std::move(p));

    std::vector<VectorData> out;
    if (plots.size() >= 2) {
        for (const std::string& plot : plots) {
            command("setplot " + plot);
            std::string plot_copy = plot;
            for (const std::string& v : read_c_string_list(ng_.all_vecs(plot_copy.data()))) {
                std::string qualified = plot + "." + v;
                if (!selected(v, qualified)) continue;
                if (const vector_info* info = fetch(v)) out.push_back(extract_vector_data(*info, std::move(qualified)));
            }
        }
        return out;
    }

    std::vector<std::string> names;
    {
        std::lock_guard lock(state_->mutex);
        names = state_->init_vector_names;
    }
    for (const std::string& name : names) {
        if (!selected(name, {})) continue;
        if (const vector_info* info = fetch(name)) out.push_back(extract_vector_data(*info, name));
    }
    return out;
}

void Simulator::clean_up() {
    wait_for_background_idle();
    if (!circuit_loaded_) return;
    circuit_loaded_ = false;
    command("destroy all");
    // Without this, a next circuit that fails to load lets "run" re-run this one.
    command("remcirc");
    if (++cleanups_ % kForgetHistoryEvery == 0) ng_.command(nullptr);
}

// ---- the loop ----

Status run_worker() {
    PrivateStreams streams;
    if (Status s = streams.open(); !s) return s;
    Result<std::unique_ptr<Simulator>> started = Simulator::start();
    if (!started) return started.error();
    Simulator& sim = **started;
    FdWriter out(streams.out());
    LineReader in(streams.in());
    // A frame is assembled in memory and handed to the writer in one piece: written in parts,
    // its reader would wake once per part, and on this kind of machine a wake-up costs more
    // than copying a sweep's samples once.
    StringSink frame;
    auto send = [&](const std::string& id, bool success, const std::vector<VectorData>& vectors,
                    const std::vector<std::string>& log, const std::optional<std::string>& error,
                    const std::vector<Measure>& measures, bool exiting = false) -> Status {
        frame.bytes.clear();
        // memory cannot fail
        (void)write_wire_response(frame, id, success, vectors, log, error, measures, exiting);
        if (Status s = out.write(frame.bytes.data(), frame.bytes.size()); !s) return s;
        return out.flush();
    };

    std::string line;
    for (;;) {
        Result<bool> got = in.next(line);
        if (!got) return got.error();
        if (!*got) return ok_status();
        if (is_blank(line)) continue;

        Result<SimulationRequest> request = decode_request(line);
        if (!request) {
            const std::string& why = request.error().payload();
            if (Status s = send("unknown", false, {}, {"failed to parse request: " + why}, "parse error: " + why, {});
                !s)
                return s;
            continue;
        }
        SimulationResponse a = sim.handle(*request);
        // A library that asked to exit would crash the next request: the frame says this worker
        // ends, so the pool replaces it before giving it more work.
        const bool exiting = sim.exit_requested();
        if (Status s = send(a.id, a.success, a.vectors, a.log, a.error, a.measures, exiting); !s) return s;
        if (exiting) return ok_status();
        sim.clean_up();
        if (sim.exit_requested()) return ok_status();
    }
}

}  // namespace tavlo
