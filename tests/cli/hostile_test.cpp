// The built tool on hostile input: a few hundred Matrix Market files mutated at random from small
// generated matrices (cut, shuffled, corrupted numbers and indices, wrong size lines and banners,
// binary garbage, very long lines, CRLF, gzip whole or cut) and random option sets (valid and
// invalid values). Every run is a separate process under a time limit. Each case must
//   - end by itself within the limit, not by a signal, with a documented exit code, and without
//     a sanitizer report on standard error;
//   - when it exits 0 after a solve, have a true relative residual ||b - A x|| / ||b|| within
//     restol, recomputed here (in long double) from the file as written and the solution the tool
//     wrote with -o, by our own reading of the file; the reported residual must agree with it;
//   - when an option value is out of its range or not a keyword (or a flag lacks its value), be
//     refused as a usage error, and never be refused for a valid one.
// Everything is drawn from fixed seeds: a failure names its seed and case and shows the file and
// the command; TRELVAK_HOSTILE_KEEP=<folder> keeps the failing cases' files and commands there,
// TRELVAK_HOSTILE_VERBOSE=1 prints every case with its exit code.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/testing.h"
#include "temp_files.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define HOSTILE_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define HOSTILE_SANITIZED 1
#endif
#endif

namespace {

using trelvak::test::file_bytes;
using trelvak::test::TempDir;

constexpr double kTimeLimitSeconds = 8.0;  // per run; generous for a 2-core machine under load

// ------------------------------------------------------------------------------------------------
// Random numbers: our own generator, so that the cases are the same with every standard library.
// ------------------------------------------------------------------------------------------------

class Rng {
public:
    explicit Rng(std::uint64_t seed) : s_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (s_ += 0x9e3779b97f4a7c15ULL);
        z               = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z               = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    // Uniform in [0, n).
    size_t below(size_t n) { return n == 0 ? 0 : static_cast<size_t>(next() % n); }
    bool chance(double p) { return static_cast<double>(next() >> 11) * 0x1.0p-53 < p; }
    template <class T>
    const T& pick(const std::vector<T>& v) {
        return v[below(v.size())];
    }

private:
    std::uint64_t s_;
};

// ------------------------------------------------------------------------------------------------
// Running the built tool
// ------------------------------------------------------------------------------------------------

struct Run {
    int code      = -1;  // exit status when the tool exited
    int signal    = 0;   // the signal that ended it, if any
    bool timedout = false;
    std::string out;
    std::string err;
};

// Runs the tool with args in dir (stdout and stderr to files there) and a clean environment of
// single-threaded kernels; kills it after the time limit.
Run run_tool(const std::string& dir, const std::vector<std::string>& args) {
    std::vector<std::string> words{TRELVAK_TOOL_PATH};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_words{"OPENBLAS_NUM_THREADS=1", "TRELVAK_NUM_THREADS=1",
                                       "PATH=/usr/bin:/bin"};
    for (const char* keep : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TMPDIR"}) {
        if (const char* v = std::getenv(keep))
            env_words.push_back(std::string(keep) + "=" + v);
    }
    std::vector<char*> envp;
    for (auto& w : env_words) envp.push_back(w.data());
    envp.push_back(nullptr);
    const std::string out_path = dir + "/stdout.txt";
    const std::string err_path = dir + "/stderr.txt";
    const std::string cwd      = dir;

    std::fflush(nullptr);  // nothing buffered here may be written twice
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(cwd.c_str()) != 0)
            ::_exit(121);
        const int o = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int e = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int i = ::open("/dev/null", O_RDONLY);
        if (o < 0 || e < 0 || i < 0 || ::dup2(o, 1) < 0 || ::dup2(e, 2) < 0 || ::dup2(i, 0) < 0) {
            ::_exit(122);
        }
#ifndef HOSTILE_SANITIZED
        // An absurd allocation must fail (and be reported) rather than take the machine's memory.
        const rlimit mem{rlim_t{1} << 30, rlim_t{1} << 30};
        ::setrlimit(RLIMIT_AS, &mem);
#endif
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(123);
    }
    Run r;
    if (pid < 0) {
        r.code = -2;
        return r;
    }
    const auto start = std::chrono::steady_clock::now();
    int status       = 0;
    for (;;) {
        const pid_t got = ::waitpid(pid, &status, WNOHANG);
        if (got == pid)
            break;
        if (got < 0 && errno != EINTR)
            break;
        const double secs =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (secs > kTimeLimitSeconds) {
            r.timedout = true;
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(secs < 0.2 ? 1 : 10));
    }
    if (!r.timedout) {
        if (WIFEXITED(status))
            r.code = WEXITSTATUS(status);
        if (WIFSIGNALED(status))
            r.signal = WTERMSIG(status);
    }
    r.out = file_bytes(out_path);
    r.err = file_bytes(err_path);
    return r;
}

// ------------------------------------------------------------------------------------------------
// gzip in memory
// ------------------------------------------------------------------------------------------------

std::string gzip(const std::string& text) {
    z_stream z{};
    if (deflateInit2(&z, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return {};
    std::string out(deflateBound(&z, static_cast<uLong>(text.size())) + 64, '\0');
    z.next_in   = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.avail_in  = static_cast<uInt>(text.size());
    z.next_out  = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// Inflates gzip data (one or more members); nullopt when it is not whole gzip data. As with
// gzip(1), bytes after a whole member that do not begin another member are ignored.
std::optional<std::string> gunzip(const std::string& data) {
    std::string out;
    size_t at = 0;
    while (at < data.size()) {
        if (at > 0 &&
            (static_cast<unsigned char>(data[at]) != 0x1f ||
             (at + 1 < data.size() && static_cast<unsigned char>(data[at + 1]) != 0x8b))) {
            break;
        }
        z_stream z{};
        if (inflateInit2(&z, 15 + 16) != Z_OK)
            return std::nullopt;
        z.next_in  = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + at));
        z.avail_in = static_cast<uInt>(data.size() - at);
        int rc     = Z_OK;
        char buf[65536];
        while (rc == Z_OK) {
            z.next_out  = reinterpret_cast<Bytef*>(buf);
            z.avail_out = sizeof buf;
            rc          = inflate(&z, Z_NO_FLUSH);
            out.append(buf, sizeof buf - z.avail_out);
            if (rc == Z_OK && z.avail_in == 0 && z.avail_out != 0)
                rc = Z_BUF_ERROR;
        }
        const size_t used = z.total_in;
        inflateEnd(&z);
        if (rc != Z_STREAM_END)
            return std::nullopt;
        at += used;
    }
    return out;
}

bool is_gzip(const std::string& data) {
    return data.size() >= 2 && static_cast<unsigned char>(data[0]) == 0x1f &&
           static_cast<unsigned char>(data[1]) == 0x8b;
}

// ------------------------------------------------------------------------------------------------
// Our own reading of a Matrix Market file, for the residual check: the format as the tool's
// documentation states it (banner "%%MatrixMarket matrix coordinate real|integer
// symmetric|general", case-insensitive; comment and blank lines skipped; "n n nnz"; then nnz
// lines "i j value"; duplicates summed; a general file symmetric to 1e-12 and averaged). The
// matrix is kept as a map of the lower triangle.
// ------------------------------------------------------------------------------------------------

struct RefMatrix {
    int n = 0;
    std::map<std::pair<int, int>, long double> lower;  // (i, j) with i >= j, 1-based
};

std::vector<std::string> tokens(const std::string& line) {
    std::vector<std::string> t;
    std::istringstream s(line);
    std::string w;
    while (s >> w) t.push_back(w);
    return t;
}

std::string lowercase(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool whole_long(const std::string& t, long* v) {
    if (t.empty())
        return false;
    char* end = nullptr;
    errno     = 0;
    *v        = std::strtol(t.c_str(), &end, 10);
    return *end == '\0' && errno != ERANGE;
}

bool finite_double(const std::string& t, double* v) {
    if (t.empty())
        return false;
    char* end = nullptr;
    *v        = std::strtod(t.c_str(), &end);
    return *end == '\0' && std::isfinite(*v);
}

std::optional<RefMatrix> reference_read(std::string data, double symmetry_tol) {
    if (is_gzip(data)) {
        auto plain = gunzip(data);
        if (!plain)
            return std::nullopt;
        data = *plain;
    }
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < data.size()) {
        size_t end = data.find('\n', at);
        if (end == std::string::npos)
            end = data.size();
        std::string line = data.substr(at, end - at);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        at = end + 1;
    }
    if (lines.empty())
        return std::nullopt;
    const auto banner = tokens(lines[0]);
    if (banner.size() != 5 || lowercase(banner[0]) != "%%matrixmarket" ||
        lowercase(banner[1]) != "matrix" || lowercase(banner[2]) != "coordinate") {
        return std::nullopt;
    }
    const std::string field = lowercase(banner[3]);
    const std::string symm  = lowercase(banner[4]);
    if ((field != "real" && field != "integer") || (symm != "symmetric" && symm != "general")) {
        return std::nullopt;
    }
    const bool general = symm == "general";
    size_t k           = 1;
    auto next_data     = [&]() -> const std::string* {
        while (k < lines.size()) {
            const std::string& l = lines[k++];
            if (!l.empty() && l[0] == '%')
                continue;
            if (tokens(l).empty())
                continue;
            return &l;
        }
        return nullptr;
    };
    const std::string* size_line = next_data();
    if (size_line == nullptr)
        return std::nullopt;
    const auto sz = tokens(*size_line);
    long m = 0, n = 0, nnz = 0;
    if (sz.size() != 3 || !whole_long(sz[0], &m) || !whole_long(sz[1], &n) ||
        !whole_long(sz[2], &nnz) || m != n || n < 1 || n > 100000 || nnz < 0) {
        return std::nullopt;
    }
    std::map<std::pair<int, int>, long double> full;
    for (long e = 0; e < nnz; ++e) {
        const std::string* l = next_data();
        if (l == nullptr)
            return std::nullopt;
        const auto t = tokens(*l);
        long i = 0, j = 0;
        double v = 0;
        if (t.size() != 3 || !whole_long(t[0], &i) || !whole_long(t[1], &j) ||
            !finite_double(t[2], &v) || i < 1 || j < 1 || i > n || j > n) {
            return std::nullopt;
        }
        full[{static_cast<int>(i), static_cast<int>(j)}] += v;
    }
    if (next_data() != nullptr)
        return std::nullopt;  // more entries than declared
    RefMatrix a;
    a.n = static_cast<int>(n);
    if (!general) {
        for (const auto& [ij, v] : full) {
            const auto key = ij.first >= ij.second ? ij : std::make_pair(ij.second, ij.first);
            a.lower[key] += v;
        }
        return a;
    }
    long double diff = 0, norm = 0;
    for (const auto& [ij, v] : full) {
        const auto t        = full.find({ij.second, ij.first});
        const long double w = t == full.end() ? 0.0L : t->second;
        diff += (v - w) * (v - w);
        norm += v * v;
        if (ij.first >= ij.second)
            a.lower[ij] = (v + w) / 2;
    }
    for (const auto& [ij, v] : full) {
        if (ij.first < ij.second && full.find({ij.second, ij.first}) == full.end()) {
            a.lower[{ij.second, ij.first}] = v / 2;
        }
    }
    if (std::sqrt(diff) > symmetry_tol * std::sqrt(norm))
        return std::nullopt;
    return a;
}

std::vector<long double> multiply(const RefMatrix& a, const std::vector<long double>& x) {
    std::vector<long double> y(static_cast<size_t>(a.n), 0.0L);
    for (const auto& [ij, v] : a.lower) {
        const size_t i = static_cast<size_t>(ij.first) - 1, j = static_cast<size_t>(ij.second) - 1;
        y[i] += v * x[j];
        if (i != j)
            y[j] += v * x[i];
    }
    return y;
}

long double norm2(const std::vector<long double>& v) {
    long double s = 0;
    for (long double e : v) s += e * e;
    return std::sqrt(s);
}

// The solution file the tool wrote: a Matrix Market array n x 1.
std::optional<std::vector<long double>> read_solution(const std::string& path, int n) {
    std::istringstream in(file_bytes(path));
    std::string line;
    std::vector<long double> x;
    bool size_seen = false;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '%')
            continue;
        const auto t = tokens(line);
        if (!size_seen) {
            long r = 0, c = 0;
            if (t.size() != 2 || !whole_long(t[0], &r) || !whole_long(t[1], &c) || r != n ||
                c != 1) {
                return std::nullopt;
            }
            size_seen = true;
            continue;
        }
        double v = 0;
        if (t.size() != 1 || !finite_double(t[0], &v))
            return std::nullopt;
        x.push_back(v);
    }
    if (!size_seen || x.size() != static_cast<size_t>(n))
        return std::nullopt;
    return x;
}

// Number field "key": value of a JSON text (first occurrence); NaN when absent or null.
double json_value(const std::string& json, const std::string& key) {
    const size_t at = json.find("\"" + key + "\": ");
    if (at == std::string::npos)
        return std::nan("");
    const char* p  = json.c_str() + at + key.size() + 4;
    char* end      = nullptr;
    const double v = std::strtod(p, &end);
    return end == p ? std::nan("") : v;
}

// ------------------------------------------------------------------------------------------------
// Generated matrices and their mutations
// ------------------------------------------------------------------------------------------------

struct Base {
    std::string name;
    std::string text;  // Matrix Market text
    int n;
};

std::vector<Base> base_matrices() {
    using namespace trelvak::test;
    std::vector<Base> b;
    auto add = [&](const std::string& name, const Csr& m, bool general) {
        b.push_back({name, matrix_market_text(m, general), m.nr});
    };
    add("helmholtz36", laplace2d(6, 6, 0.7), false);               // indefinite
    add("saddle80", saddle_point(60, 20, 3, 7), false);            // saddle point, zero block
    add("laplace400", laplace2d(20, 20), false);                   // SPD
    add("random50", random_symmetric(50, 4, 11, 0.2, 0.1), true);  // indefinite, zero diagonals
    add("helm3d125", laplace3d(5, 5, 5, 1.1), true);               // indefinite, general storage
    add("arrow24", arrow(24, 3.0, 0.5), false);                    // dense first row
    add("saddle150", saddle_point(100, 50, 2, 3), true);
    // An integer field: the Laplacian's entries are whole numbers.
    std::string t = matrix_market_text(laplace2d(7, 7), false);
    t.replace(t.find(" real "), 6, " integer ");
    b.push_back({"laplace49int", t, 49});
    return b;
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            lines.push_back(text.substr(at));
            break;
        }
        lines.push_back(text.substr(at, end - at + 1));
        at = end + 1;
    }
    return lines;
}

std::string join(const std::vector<std::string>& lines) {
    std::string s;
    for (const auto& l : lines) s += l;
    return s;
}

// Index of the size line (first line after the banner that is not a comment).
size_t size_line_index(const std::vector<std::string>& lines) {
    for (size_t k = 1; k < lines.size(); ++k) {
        if (!lines[k].empty() && lines[k][0] != '%')
            return k;
    }
    return lines.size();
}

std::string random_bytes(Rng& rng, size_t count) {
    std::string s(count, '\0');
    for (char& c : s) c = static_cast<char>(rng.below(256));
    return s;
}

// Replaces token t (0-based) of an entry line, keeping its line end.
std::string replace_token(const std::string& line, size_t t, const std::string& with) {
    auto parts = tokens(line);
    if (t < parts.size())
        parts[t] = with;
    std::string s;
    for (size_t k = 0; k < parts.size(); ++k) s += (k ? " " : "") + parts[k];
    return s + "\n";
}

const std::vector<std::string> kBadNumbers = {
    "nan",          "NaN",    "-nan",  "inf",     "-Inf",    "infinity",
    "1e308",        "-1e308", "1e309", "-1e400",  "1e-320",  "4.9e-324",
    "-0",           "+0",     "0x1p3", "0x",      "0xZZ",    "1e",
    "e5",           "--1",    "+-1",   "abc",     "1.5.5",   "1,5",
    "\xef\xbc\x91", "1d3",    ".",     "-",       "1e-400",  "9999999999999999999999999",
    "1e+",          "0.0",    "1e300", "-1e-300", "3.0e+38", std::string(400, '9')};
const std::vector<std::string> kBadIndices = {
    "0",   "-1",  "2147483647", "2147483648", "-2147483649", "99999999999999999999",
    "1.5", "1e2", "x",          "0x10",       "+1",          "01",
    "-0",  "N+1", "N",          "1"};
const std::vector<std::string> kSizeLines = {"N N 1000000000",
                                             "-5 -5 10",
                                             "0 0 0",
                                             "N N 0",
                                             "N N -1",
                                             "N N+1 NNZ",
                                             "N+1 N+1 NNZ",
                                             "N N NNZ+1",
                                             "N N NNZ-1",
                                             "99999999999 99999999999 1",
                                             "N N",
                                             "N",
                                             "N N NNZ 7",
                                             "2147483648 2147483648 1",
                                             "2147483647 2147483647 NNZ",
                                             "N N 9223372036854775807",
                                             "N N 9223372036854775808",
                                             "1 1 1",
                                             "N-1 N-1 NNZ",
                                             "x y z",
                                             "",
                                             "N.5 N NNZ",
                                             "N N 1e3",
                                             "N 1 NNZ",
                                             "100000000 100000000 NNZ",
                                             "N N 0x10"};
const std::vector<std::string> kBanners   = {
      "%%MATRIXMARKET MATRIX COORDINATE REAL SYMMETRIC",
      "%%matrixmarket matrix coordinate real symmetric",
      "%%MatrixMarket matrix coordinate complex symmetric",
      "%%MatrixMarket matrix coordinate pattern symmetric",
      "%%MatrixMarket matrix coordinate real skew-symmetric",
      "%%MatrixMarket matrix coordinate complex hermitian",
      "%%MatrixMarket matrix coordinate real hermitian",
      "%%MatrixMarket matrix array real symmetric",
      "%%MatrixMarket matrix array real general",
      "%%MatrixMarket matrix coordinate real",
      "%%MatrixMarket matrix coordinate",
      "%%MatrixMarket",
      "%%MatrixMarket vector coordinate real general",
      "%MatrixMarket matrix coordinate real symmetric",
      "  %%MatrixMarket matrix coordinate real symmetric",
      "%%MatrixMarket matrix coordinate real symmetric extra",
      "%%MatrixMarket\tmatrix\tcoordinate\treal\tsymmetric",
      "%%MatrixMarket matrix coordinate double symmetric",
      "%%MatrixMarket matrix coordinate integer symmetric",
      "%%MatrixMarket matrix coordinate real general",
      "%%MatrixMarket matrix coordinate integer general",
      "",
      "\xef\xbb\xbf%%MatrixMarket matrix coordinate real symmetric",
      "%%MatrixMarket matrix coordinate real symmetric\r"};

std::string substitute(std::string s, int n, long nnz) {
    const std::pair<const char*, long> names[] = {{"NNZ+1", nnz + 1}, {"NNZ-1", nnz - 1},
                                                  {"NNZ", nnz},       {"N+1", n + 1},
                                                  {"N-1", n - 1},     {"N", n}};
    for (const auto& [name, value] : names) {
        for (size_t at = s.find(name); at != std::string::npos; at = s.find(name)) {
            s.replace(at, std::strlen(name), std::to_string(value));
        }
    }
    return s;
}

// One mutation of a Matrix Market text; `what` gets a short description.
std::string mutate(const std::string& text, int n, Rng& rng, std::string* what) {
    auto lines        = split_lines(text);
    const size_t head = size_line_index(lines);
    const long nnz    = static_cast<long>(lines.size()) - static_cast<long>(head) - 1;
    auto entry        = [&]() { return head + 1 + rng.below(std::max<long>(nnz, 1)); };
    const int kind    = static_cast<int>(rng.below(20));
    std::ostringstream w;
    switch (kind) {
        case 0: {
            const size_t cut = rng.below(text.size() + 1);
            w << "cut at byte " << cut;
            *what = w.str();
            return text.substr(0, cut);
        }
        case 1: {
            const size_t k = rng.below(lines.size());
            w << "line " << k + 1 << " deleted";
            lines.erase(lines.begin() + static_cast<long>(k));
            break;
        }
        case 2: {
            const size_t k = rng.below(lines.size());
            w << "line " << k + 1 << " repeated";
            lines.insert(lines.begin() + static_cast<long>(k), lines[k]);
            break;
        }
        case 3: {
            const size_t a = rng.below(lines.size()), b = rng.below(lines.size());
            w << "lines " << a + 1 << " and " << b + 1 << " swapped";
            std::swap(lines[a], lines[b]);
            break;
        }
        case 4: {
            const size_t k        = entry();
            const std::string bad = rng.pick(kBadNumbers);
            if (k < lines.size())
                lines[k] = replace_token(lines[k], 2, bad);
            w << "value on line " << k + 1 << " -> '" << bad << "'";
            break;
        }
        case 5: {
            const size_t k        = entry();
            const size_t t        = rng.below(2);
            const std::string bad = substitute(rng.pick(kBadIndices), n, nnz);
            if (k < lines.size())
                lines[k] = replace_token(lines[k], t, bad);
            w << "index " << t + 1 << " on line " << k + 1 << " -> '" << bad << "'";
            break;
        }
        case 6: {
            const std::string size = substitute(rng.pick(kSizeLines), n, nnz);
            if (head < lines.size())
                lines[head] = size + "\n";
            w << "size line -> '" << size << "'";
            break;
        }
        case 7: {
            const std::string banner = rng.pick(kBanners);
            lines[0]                 = banner + "\n";
            w << "banner -> '" << banner << "'";
            break;
        }
        case 8: {
            const size_t len = rng.below(3) == 0 ? 0 : 1 + rng.below(5000);
            w << len << " random bytes";
            *what = w.str();
            return random_bytes(rng, len);
        }
        case 9: {
            const size_t at  = rng.below(text.size() + 1);
            const size_t len = 1 + rng.below(64);
            w << len << " random bytes inserted at " << at;
            *what         = w.str();
            std::string s = text;
            s.insert(at, random_bytes(rng, len));
            return s;
        }
        case 10: {
            const std::vector<std::string> tiny = {"",
                                                   "\n",
                                                   "   \n\t\n",
                                                   "%%MatrixMarket\n",
                                                   lines[0],
                                                   lines[0] + "% only a comment\n",
                                                   std::string(1, '\0'),
                                                   "\x1f\x8b"};
            const size_t k                      = rng.below(tiny.size());
            w << "near-empty file #" << k;
            *what = w.str();
            return tiny[k];
        }
        case 11: {
            const size_t k = rng.below(4);
            if (k == 0) {
                lines.insert(lines.begin() + 1, "%" + std::string(1 << 20, 'x') + "\n");
            } else if (k == 1) {
                const size_t e = entry();
                if (e < lines.size())
                    lines[e] = replace_token(lines[e], 2, "1." + std::string(100000, '0') + "1");
            } else if (k == 2) {
                const size_t e = entry();
                if (e < lines.size())
                    lines[e] = std::string(200000, ' ') + lines[e];
            } else {
                lines.push_back(std::string(300000, '7'));  // no line end
            }
            w << "very long line #" << k;
            break;
        }
        case 12: {
            const bool cr_only = rng.chance(0.3);
            for (auto& l : lines) {
                if (!l.empty() && l.back() == '\n') {
                    l.pop_back();
                    l += cr_only ? "\r" : "\r\n";
                }
            }
            w << (cr_only ? "CR line ends" : "CRLF line ends");
            break;
        }
        case 13: {
            const size_t e = entry();
            if (e < lines.size()) {
                auto t = tokens(lines[e]);
                if (rng.chance(0.5) && !t.empty()) {
                    t.pop_back();
                    w << "token missing on line " << e + 1;
                } else {
                    t.push_back(rng.chance(0.5) ? "0" : "junk");
                    w << "extra token on line " << e + 1;
                }
                std::string s;
                for (size_t q = 0; q < t.size(); ++q) s += (q ? " " : "") + t[q];
                lines[e] = s + "\n";
            }
            break;
        }
        case 14: {
            for (size_t k = lines.size(); k-- > 1;) {
                if (rng.chance(0.2))
                    lines.insert(lines.begin() + static_cast<long>(k),
                                 rng.chance(0.5) ? "\n" : " \t \n");
                if (rng.chance(0.1))
                    lines.insert(lines.begin() + static_cast<long>(k), "% note\n");
            }
            for (auto& l : lines) {
                if (l[0] != '%' && rng.chance(0.3))
                    std::replace(l.begin(), l.end(), ' ', '\t');
            }
            w << "blank lines, comments and tabs";
            break;
        }
        case 15: {
            std::string s  = text;
            const size_t k = 1 + rng.below(4);
            for (size_t q = 0; q < k && !s.empty(); ++q) {
                s[rng.below(s.size())] ^= static_cast<char>(1 << rng.below(8));
            }
            w << k << " bits flipped";
            *what = w.str();
            return s;
        }
        case 16: {
            // Still a valid matrix: one entry zeroed, made tiny or negated.
            const size_t e              = entry();
            const std::string choices[] = {"0", "1e-14", "-5", "1e-300", "0.5"};
            const std::string v         = choices[rng.below(5)];
            if (e < lines.size())
                lines[e] = replace_token(lines[e], 2, v);
            w << "value on line " << e + 1 << " -> " << v << " (valid)";
            break;
        }
        case 17: {
            // Still valid: every value scaled by an extreme power of ten.
            const char* scales[] = {"e300", "e-300", "e150", "e-150"};
            const char* sc       = scales[rng.below(4)];
            for (size_t k = head + 1; k < lines.size(); ++k) {
                auto t = tokens(lines[k]);
                if (t.size() == 3) {
                    char buf[64];
                    std::snprintf(buf, sizeof buf, "%.17g%s", std::strtod(t[2].c_str(), nullptr),
                                  sc);
                    lines[k] = t[0] + " " + t[1] + " " + buf + "\n";
                }
            }
            w << "values scaled by 1" << sc << " (valid)";
            break;
        }
        case 18: {
            // An entry in the other triangle (symmetric storage), or a slightly asymmetric
            // general file.
            const size_t e = entry();
            if (e < lines.size()) {
                auto t = tokens(lines[e]);
                if (t.size() == 3) {
                    if (rng.chance(0.5)) {
                        lines[e] = t[1] + " " + t[0] + " " + t[2] + "\n";
                        w << "line " << e + 1 << " transposed";
                    } else {
                        char buf[64];
                        std::snprintf(buf, sizeof buf, "%.17g",
                                      std::strtod(t[2].c_str(), nullptr) * (1 + 1e-13));
                        lines[e] = t[0] + " " + t[1] + " " + buf + "\n";
                        w << "value on line " << e + 1 << " nudged by 1e-13";
                    }
                }
            }
            break;
        }
        default: {
            // Gzip of the text, then cut, trailed by junk, or compressed twice.
            std::string z  = gzip(text);
            const size_t k = rng.below(4);
            if (k == 0)
                z = z.substr(0, rng.below(z.size()));
            if (k == 1)
                z += random_bytes(rng, 1 + rng.below(16));
            if (k == 2)
                z = gzip(z);
            if (k == 3)
                z += gzip("1 1 1\n");
            const char* names[] = {"gzip cut", "gzip + junk", "gzip twice", "two gzip members"};
            *what               = names[k];
            return z;
        }
    }
    *what = w.str();
    return join(lines);
}

// ------------------------------------------------------------------------------------------------
// Option sets
// ------------------------------------------------------------------------------------------------

enum class Validity { kValid, kInvalid, kEither };

struct Flag {
    std::string key;
    std::vector<std::string> valid, invalid, either;
};

const std::vector<Flag>& flags() {
    static const std::vector<Flag> f = {
        {"droptol",
         {"1e-3", "1e-2", "0.1", "0", "1e-6", "0.3", "1e300"},
         {"-1", "nan", "inf", "x", "", "1e400", "1e-3abc", " 1e-3", "0x"},
         {"1e-320"}},
        {"droptolS", {"1e-4", "0", "0.05"}, {"-0.1", "NaN"}, {}},
        {"maxit",
         {"1", "2", "5", "50", "500", "2000", "1e3"},
         {"0", "-1", "1.5", "1e12", "3e9", "abc", "nan", "2147483648"},
         {}},
        {"restol",
         {"1e-6", "1e-8", "1e-10", "0.5", "1e-3", "0.999"},
         {"0", "1", "-1e-6", "2", "nan", "inf", "1e-400"},
         {"1e-14", "1e-16"}},
        {"solver",
         {"sqmr", "sbcg", "bcg", "gmres", "fgmres", "gmresx"},
         {"", "foo", "sqm", "x", std::string(5000, 'q'), "-1"},
         {"GMRES"}},
        {"ordering",
         {"amd", "metisn", "metise", "rcm", "amf", "mmd", "pp", "none", "amdx"},
         {"metis", "", "AMD", "1"},
         {}},
        {"condest",
         {"1", "5", "10", "100", "1e6", "1e300"},
         {"0.5", "0", "-3", "nan", "1e309"},
         {}},
        {"elbow",
         {"1", "5", "10", "20", "0.01", "1e-300", "1e300", "1000"},
         {"0", "-1", "nan"},
         {}},
        {"lfil", {"0", "1", "5", "50", "2147483647"}, {"-1", "nan", "0.5", "1e10"}, {}},
        {"lfilS", {"0", "3", "100000"}, {"-2"}, {}},
        {"matching", {"0", "1"}, {"2", "-1", "0.5", "nan"}, {}},
        {"nrestart",
         {"0", "1", "2", "15", "30", "400"},
         {"-1", "0.5"},
         {"100000000", "2147483647"}},
        {"amg", {"ilu", "amli", "mg"}, {"", "multigrid", "ILU"}, {}},
        {"presmoother", {"gsf", "gsb", "j", "ilu"}, {"gauss", "", "J"}, {}},
        {"postsmoother", {"gsf", "j"}, {"none"}, {}},
        {"ncoarse", {"1", "2", "3"}, {"0", "-1"}, {}},
        {"npresmoothing", {"0", "1", "3"}, {"-1"}, {}},
        {"damping", {"0.5", "1", "1e-3"}, {"0", "-0.5"}, {}},
        {"typetv", {"none", "static", "dynamic"}, {"yes"}, {}},
        {"FCpart", {"yes", "none"}, {"no"}, {}},
        {"typecoarse", {"ilu", "amg"}, {"mg"}, {}},
    };
    return f;
}

struct OptionSet {
    std::vector<std::string> args;
    Validity validity   = Validity::kValid;
    double restol       = 1e-6;   // the tolerance the solve is held to
    double symmetry_tol = 1e-12;  // asymmetry accepted in a general file
    bool factor_only    = false;
    bool json           = true;
    bool maxit_huge     = false;
};

// count option flags, each with a value that is out of range or no keyword with probability
// p_bad; then some of the tool's own flags.
OptionSet random_options(Rng& rng, int count, double p_bad) {
    OptionSet o;
    bool invalid = false, either = false;
    for (int q = 0; q < count; ++q) {
        const Flag& f = rng.pick(flags());
        std::string v;
        if (!rng.chance(p_bad)) {
            v = rng.pick(f.valid);
        } else if (rng.chance(0.8) || f.either.empty()) {
            v       = rng.pick(f.invalid);
            invalid = true;
        } else {
            v      = rng.pick(f.either);
            either = true;
        }
        if (f.key == "restol") {
            double x = 0;
            if (finite_double(v, &x))
                o.restol = x;
        }
        if (f.key == "maxit" && std::strtod(v.c_str(), nullptr) > 1e4)
            o.maxit_huge = true;
        if (rng.chance(0.5)) {
            o.args.push_back("--" + f.key + "=" + v);
        } else {
            o.args.push_back("--" + f.key);
            o.args.push_back(v);
        }
    }
    // Tool flags.
    if (rng.chance(0.1))
        o.args.push_back("--no-fallback");
    if (rng.chance(0.08)) {
        o.args.push_back("--factor-only");
        o.factor_only = true;
    }
    if (rng.chance(0.15)) {
        // A solve that may well stop at its limit: few iterations or a tolerance near rounding.
        const std::vector<std::string> hard = {"--maxit=1", "--maxit=3", "--restol=1e-15",
                                               "--droptol=0.9", "--restol=1e-13"};
        o.args.push_back(rng.pick(hard));
        if (o.args.back().rfind("--restol=", 0) == 0) {
            o.restol = std::strtod(o.args.back().c_str() + 9, nullptr);
        }
    }
    if (rng.chance(p_bad * 0.2)) {
        const std::vector<std::string> tols = {"1e-6", "0", "1e-20", "1"};
        const std::vector<std::string> bad  = {"-1", "nan", "x"};
        o.args.push_back("--symmetry-tol");
        if (rng.chance(0.7)) {
            o.args.push_back(rng.pick(tols));
            o.symmetry_tol = std::strtod(o.args.back().c_str(), nullptr);
        } else {
            o.args.push_back(rng.pick(bad));
            invalid = true;
        }
    }
    if (rng.chance(p_bad * 0.1)) {
        // Flag syntax: unknown, misspelt in case, or a value missing at the end.
        const std::vector<std::string> junk = {"--foo", "--DROPTOL=1", "--", "---droptol=1", "-x"};
        o.args.push_back(rng.pick(junk));
        either = true;  // "--" ends the flags: then the next word is a file
    }
    if (rng.chance(0.08)) {
        o.args.push_back("-q");
        o.json = false;
    } else {
        o.args.push_back("--json");
    }
    o.validity = invalid ? Validity::kInvalid : either ? Validity::kEither : Validity::kValid;
    return o;
}

// ------------------------------------------------------------------------------------------------
// One case and its checks
// ------------------------------------------------------------------------------------------------

std::string printable(const std::string& bytes, size_t limit) {
    std::string s;
    for (size_t k = 0; k < bytes.size() && k < limit; ++k) {
        const unsigned char c = static_cast<unsigned char>(bytes[k]);
        if (c == '\n') {
            s += "\\n\n";
        } else if (c >= 0x20 && c < 0x7f && c != '\\') {
            s += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            s += buf;
        }
    }
    if (bytes.size() > limit)
        s += "... (" + std::to_string(bytes.size()) + " bytes)";
    return s;
}

struct Case {
    std::string label;  // seed, index, base matrix and mutation
    std::string file;   // the matrix file's bytes
    std::string rhs;    // a right-hand side file's bytes (empty: none)
    OptionSet options;
};

// The numbers of a right-hand side file we wrote: plain numbers, or a Matrix Market array n x 1
// (banner and size line skipped). Empty when a word is not a finite number.
std::vector<long double> rhs_values(const std::string& text) {
    std::istringstream in(text);
    std::string line;
    std::vector<long double> b;
    bool matrix_market = text.rfind("%%", 0) == 0, size_seen = false;
    while (std::getline(in, line)) {
        if (matrix_market && (line.empty() || line[0] == '%'))
            continue;
        if (matrix_market && !size_seen) {
            size_seen = true;
            continue;
        }
        for (const auto& t : tokens(line)) {
            double v = 0;
            if (!finite_double(t, &v))
                return {};
            b.push_back(v);
        }
    }
    return b;
}

class Checker {
public:
    explicit Checker(const char* suite) : suite_(suite) {}

    // Runs the case and records every broken invariant.
    void check(const Case& c) {
        ++cases_;
        const std::string matrix      = dir_.write("m.mtx", c.file);
        std::vector<std::string> args = c.options.args;
        if (!c.rhs.empty()) {
            args.push_back("--rhs");
            args.push_back(dir_.write("b.txt", c.rhs));
        }
        const std::string xpath = dir_.path() + "/x.mtx";
        std::remove(xpath.c_str());
        args.push_back("-o");
        args.push_back(xpath);
        args.push_back(matrix);
        const Run r = run_tool(dir_.path(), args);
        ++codes_[r.timedout ? -124 : r.signal ? -r.signal : r.code];
        if (std::getenv("TRELVAK_HOSTILE_VERBOSE") != nullptr) {
            std::printf("%s -> exit %d: %s\n", c.label.c_str(), r.code,
                        printable(r.err.substr(0, r.err.find('\n')), 160).c_str());
        }

        std::vector<std::string> faults;
        if (r.timedout)
            faults.push_back("no end within the time limit");
        if (r.signal)
            faults.push_back("killed by signal " + std::to_string(r.signal));
        const int documented[] = {0, 1, 2, 3, 4, 5, 6, 70};  // nothing interrupts these runs
        if (!r.timedout && !r.signal &&
            std::find(std::begin(documented), std::end(documented), r.code) ==
                std::end(documented)) {
            faults.push_back("exit code " + std::to_string(r.code) + " is not documented");
        }
        for (const char* mark : {"Sanitizer", "runtime error:", "LeakSanitizer"}) {
            if (r.err.find(mark) != std::string::npos) {
                faults.push_back(std::string("sanitizer report (") + mark + ")");
            }
        }
        if (!r.timedout && !r.signal) {
            if (c.options.validity == Validity::kInvalid && r.code != 2) {
                faults.push_back("an invalid option value was not refused as a usage error");
            }
            if (c.options.validity == Validity::kValid && r.code == 2) {
                faults.push_back("valid options refused as a usage error");
            }
            if (c.options.json && r.code != 2 && (r.out.empty() || r.out.front() != '{')) {
                faults.push_back("--json printed no JSON object");
            }
            if (r.code == 0 && !c.options.factor_only)
                check_solution(c, r, xpath, &faults);
        }
        if (faults.empty())
            return;
        std::string report = "[" + std::string(suite_) + "] " + c.label + ":";
        for (const auto& f : faults) report += "\n  - " + f;
        report += "\n  args:";
        for (const auto& a : args) report += " '" + printable(a, 80) + "'";
        report += "\n  exit " + std::to_string(r.code) + ", signal " + std::to_string(r.signal);
        report += "\n  stderr: " + printable(r.err, 600);
        report += "\n  stdout: " + printable(r.out, 600);
        report +=
            "\n  file (" + std::to_string(c.file.size()) + " bytes): " + printable(c.file, 1500);
        if (!c.rhs.empty())
            report += "\n  rhs: " + printable(c.rhs, 400);
        keep(c, args);
        failures_.push_back(report);
    }

    void finish() const {
        std::string summary;
        for (const auto& [code, count] : codes_) {
            summary += " " +
                       std::string(code == -124 ? "timeout"
                                   : code < 0   ? "signal"
                                                : "exit") +
                       (code >= 0      ? " " + std::to_string(code)
                        : code == -124 ? ""
                                       : " " + std::to_string(-code)) +
                       ": " + std::to_string(count) + ";";
        }
        std::printf("%s: %d cases, %d solutions checked against their residual;%s\n", suite_,
                    cases_, solutions_checked_, summary.c_str());
        for (const auto& f : failures_) ADD_FAILURE() << f;
    }

private:
    void check_solution(const Case& c, const Run& r, const std::string& xpath,
                        std::vector<std::string>* faults) {
        const auto a = reference_read(c.file, c.options.symmetry_tol);
        if (!a) {
            faults->push_back("converged on a file our reading of the format refuses");
            return;
        }
        const auto x = read_solution(xpath, a->n);
        if (!x) {
            faults->push_back("exit 0 but no readable solution of " + std::to_string(a->n) +
                              " values written");
            return;
        }
        std::vector<long double> b;
        if (c.rhs.empty()) {
            b = multiply(*a, std::vector<long double>(static_cast<size_t>(a->n), 1.0L));
        } else {
            b = rhs_values(c.rhs);
            if (b.size() != static_cast<size_t>(a->n)) {
                faults->push_back("converged with a right-hand side of the wrong length");
                return;
            }
        }
        const auto ax = multiply(*a, *x);
        std::vector<long double> res(b.size());
        for (size_t k = 0; k < b.size(); ++k) res[k] = b[k] - ax[k];
        const long double nb       = norm2(b);
        const long double true_rel = nb > 0 ? norm2(res) / nb : norm2(res);
        ++solutions_checked_;
        // The tool's own residual is computed in double; allow its rounding.
        if (!(true_rel <= c.options.restol * (1 + 1e-6L) + 1e-15L)) {
            std::ostringstream s;
            s << "exit 0 with true relative residual " << static_cast<double>(true_rel)
              << " above restol " << c.options.restol;
            faults->push_back(s.str());
        }
        if (c.options.json) {
            const double reported = json_value(r.out, "relres");
            const long double gap = std::fabs(static_cast<long double>(reported) - true_rel);
            if (!(gap <= 1e-6L * true_rel + 1e-14L)) {
                std::ostringstream s;
                s << "reported relres " << reported << " differs from the recomputed "
                  << static_cast<double>(true_rel);
                faults->push_back(s.str());
            }
        }
    }

    void keep(const Case& c, const std::vector<std::string>& args) const {
        const char* where = std::getenv("TRELVAK_HOSTILE_KEEP");
        if (where == nullptr || *where == '\0')
            return;
        std::error_code ec;
        std::filesystem::create_directories(where, ec);
        std::string name = c.label;
        for (char& ch : name) {
            if (!std::isalnum(static_cast<unsigned char>(ch)))
                ch = '_';
        }
        const std::string base = std::string(where) + "/" + name.substr(0, 60);
        if (std::FILE* f = std::fopen((base + ".mtx").c_str(), "wb")) {
            std::fwrite(c.file.data(), 1, c.file.size(), f);
            std::fclose(f);
        }
        if (std::FILE* f = std::fopen((base + ".cmd").c_str(), "w")) {
            std::fprintf(f, "trelvak");
            for (size_t k = 0; k + 1 < args.size(); ++k) std::fprintf(f, " '%s'", args[k].c_str());
            std::fprintf(f, " %s.mtx\n", base.c_str());
            std::fclose(f);
        }
    }

    const char* suite_;
    TempDir dir_;
    int cases_             = 0;
    int solutions_checked_ = 0;
    std::map<int, int> codes_;
    std::vector<std::string> failures_;
};

std::string plain_numbers(Rng& rng, size_t count) {
    std::string s;
    char buf[40];
    for (size_t k = 0; k < count; ++k) {
        std::snprintf(buf, sizeof buf, "%.17g\n", static_cast<double>(rng.below(2001)) / 100 - 10);
        s += buf;
    }
    return s;
}

// ------------------------------------------------------------------------------------------------
// The tests
// ------------------------------------------------------------------------------------------------

// Mutated files with a default or lightly varied solve: the reader's side.
TEST(HostileInput, MutatedMatrixFiles) {
    const auto bases = base_matrices();
    Checker checker("mutated files");
    Rng rng(20261208);
    for (int k = 0; k < 220; ++k) {
        const Base& base = rng.pick(bases);
        Case c;
        std::string what, more;
        c.file = mutate(base.text, base.n, rng, &what);
        if (rng.chance(0.2)) {
            c.file = mutate(c.file, base.n, rng, &more);
            what += "; " + more;
        }
        if (rng.chance(0.15) && !is_gzip(c.file)) {
            c.file = gzip(c.file);
            what += "; gzip";
        }
        c.options =
            random_options(rng, rng.chance(0.6) ? 0 : 1 + static_cast<int>(rng.below(2)), 0.1);
        c.label = "seed 20261208 case " + std::to_string(k) + " (" + base.name + ": " + what + ")";
        checker.check(c);
    }
    checker.finish();
}

// Valid files under random option sets (valid and invalid values, several at once): the option
// checks and the solve's honesty about convergence.
TEST(HostileInput, RandomOptionSets) {
    const auto bases = base_matrices();
    Checker checker("option sets");
    Rng rng(4242);
    for (int k = 0; k < 120; ++k) {
        const Base& base = rng.pick(bases);
        Case c;
        c.file    = rng.chance(0.2) ? gzip(base.text) : base.text;
        c.options = random_options(rng, 1 + static_cast<int>(rng.below(5)), 0.15);
        c.label   = "seed 4242 case " + std::to_string(k) + " (" + base.name + ")";
        checker.check(c);
    }
    checker.finish();
}

// Valid matrices scaled by extreme powers of ten (entries and b = A*ones stay finite): the
// residual the tool reports and judges by must be that of the matrix as given.
TEST(HostileInput, ExtremeScales) {
    const auto bases = base_matrices();
    Checker checker("extreme scales");
    Rng rng(31337);
    const std::vector<std::string> scales  = {"e-300", "e-250", "e-200", "e-160", "e-100",
                                              "e100",  "e160",  "e200",  "e250",  "e300"};
    const std::vector<std::string> solvers = {"sqmr", "sbcg", "bcg", "gmres", "fgmres"};
    const std::vector<std::string> tols    = {"1e-3", "1e-6", "1e-9"};
    for (int k = 0; k < 40; ++k) {
        const Base& base = rng.pick(bases);
        const auto& sc   = scales[static_cast<size_t>(k) % scales.size()];
        auto lines       = split_lines(base.text);
        for (size_t q = size_line_index(lines) + 1; q < lines.size(); ++q) {
            const auto t = tokens(lines[q]);
            char buf[64];
            std::snprintf(buf, sizeof buf, "%.17g%s", std::strtod(t[2].c_str(), nullptr),
                          sc.c_str());
            lines[q] = t[0] + " " + t[1] + " " + buf + "\n";
        }
        Case c;
        c.file           = join(lines);
        const auto tol   = rng.pick(tols);
        c.options.args   = {"--solver", rng.pick(solvers), "--restol", tol, "--json"};
        c.options.restol = std::strtod(tol.c_str(), nullptr);
        c.label =
            "seed 31337 case " + std::to_string(k) + " (" + base.name + " scaled by 1" + sc + ")";
        checker.check(c);
    }
    checker.finish();
}

// Right-hand side files: wrong lengths, bad numbers, other formats, garbage.
TEST(HostileInput, RightHandSideFiles) {
    const auto bases = base_matrices();
    Checker checker("right-hand sides");
    Rng rng(777);
    for (int k = 0; k < 40; ++k) {
        const Base& base = rng.pick(bases);
        Case c;
        c.file         = base.text;
        const size_t n = static_cast<size_t>(base.n);
        std::string what;
        switch (rng.below(8)) {
            case 0:
                c.rhs = plain_numbers(rng, n);
                what  = "n plain numbers";
                break;
            case 1:
                c.rhs = plain_numbers(rng, n - 1);
                what  = "n-1 numbers";
                break;
            case 2:
                c.rhs = plain_numbers(rng, n + 1);
                what  = "n+1 numbers";
                break;
            case 3: {
                c.rhs          = plain_numbers(rng, n);
                const auto bad = rng.pick(kBadNumbers);
                c.rhs.insert(rng.below(c.rhs.size()), bad + "\n");
                what = "n numbers and '" + bad + "'";
                break;
            }
            case 4:
                c.rhs = "%%MatrixMarket matrix array real general\n" + std::to_string(n) + " 1\n" +
                        plain_numbers(rng, n);
                what = "array file";
                break;
            case 5:
                c.rhs = "%%MatrixMarket matrix array real general\n" + std::to_string(n) + " 2\n" +
                        plain_numbers(rng, 2 * n);
                what = "two columns";
                break;
            case 6:
                c.rhs = random_bytes(rng, 1 + rng.below(300));
                what  = "random bytes";
                break;
            default:
                c.rhs = std::string(n, '0');
                what  = "one long word of zeros";
                break;
        }
        if (c.rhs.empty())
            c.rhs = "\n";
        c.options = random_options(rng, static_cast<int>(rng.below(2)), 0.05);
        c.label = "seed 777 case " + std::to_string(k) + " (" + base.name + ", rhs: " + what + ")";
        checker.check(c);
    }
    checker.finish();
}

}  // namespace
