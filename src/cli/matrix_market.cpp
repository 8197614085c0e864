// matrix_market.cpp: Matrix Market input and output for the command-line tool.
//
// Reads "%%MatrixMarket matrix coordinate {real|integer} {symmetric|general}" files, plain or
// gzip-compressed, into the upper triangle by rows that the solver takes; keywords are
// case-insensitive. The input is opened once and read front to back, so named pipes, pipes
// (/dev/stdin, process substitution) and regular files all work: whether it is compressed is told
// from its first bytes (the gzip magic), and those bytes are then decoded, not read again
// (zlib inflates the stream as it arrives; a build without zlib runs "gzip -dc" on a regular
// file and refuses compressed pipes).
//
// On entry: path of the file. On exit: the matrix, or a one-line message that names the file and,
// where it applies, the line and the entry at fault. Duplicate positions are summed. A symmetric
// file must keep to one triangle; a general file must be symmetric up to ReadOptions::symmetry_tol
// (relative, Frobenius norm) and its two triangles are averaged. NaN and infinite values, indices
// out of range, short or long entry lists and sizes beyond 32-bit indices are errors. The entry
// count of the size line is not trusted for memory: the arrays reserve at most what the file's
// size could hold and grow as entries arrive.
// Work space: three arrays of the entry count (row, column, value) and the row pointers.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "cli/cli.h"

#ifdef TRELVAK_HAVE_ZLIB
#include <zlib.h>
#endif

namespace trelvak::cli {

SparseMatrix UpperMatrix::record() {
    SparseMatrix r{};
    r.nr = n;
    r.nc = n;
    r.ia = ia.data();
    r.ja = ja.data();
    r.a  = a.data();
    return r;
}

namespace {

// ------------------------------------------------------------------------------------------------
// Line source: the input opened once, probed from the bytes read, decoded as it arrives
// ------------------------------------------------------------------------------------------------

constexpr size_t kChunk = size_t{1} << 17;

class LineSource {
public:
    LineSource()                             = default;
    LineSource(const LineSource&)            = delete;
    LineSource& operator=(const LineSource&) = delete;
    ~LineSource() { close_input(); }

    // Opens path and reads its first chunk, which tells a gzip stream from plain text. On failure
    // returns false and sets message().
    bool open(const std::string& path) {
        path_ = path;
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            message_ = path + ": cannot open: " + std::strerror(errno);
            return false;
        }
        if (S_ISDIR(st.st_mode)) {
            message_ = path + ": cannot read: is a directory";
            return false;
        }
        file_ = std::fopen(path.c_str(), "rb");
        if (file_ == nullptr) {
            message_ = path + ": cannot open: " + std::strerror(errno);
            return false;
        }
        regular_size_ = S_ISREG(st.st_mode) ? static_cast<long long>(st.st_size) : -1;
        raw_.resize(kChunk);
        if (!read_raw()) {
            return false;
        }
        compressed_ = raw_end_ >= 2 && static_cast<unsigned char>(raw_[0]) == 0x1f &&
                      static_cast<unsigned char>(raw_[1]) == 0x8b;
        if (!compressed_) {
            return true;
        }
#ifdef TRELVAK_HAVE_ZLIB
        if (inflateInit2(&z_, 16 + MAX_WBITS) != Z_OK) {
            message_ = path + ": cannot start decompression: out of memory";
            return false;
        }
        inflating_ = true;
        return true;
#else
        return open_gzip_pipe();
#endif
    }

    bool compressed() const {
        return compressed_;
    }
    // Bytes of a plain regular file (a bound on what it can hold), or -1 when unknown.
    long long plain_size() const {
        return compressed_ ? -1 : regular_size_;
    }
    long line_number() const {
        return line_number_;
    }
    const std::string& message() const {
        return message_;
    }
    bool failed() const {
        return failed_;
    }

    // Next line without its terminator; false at the end of the input or on a read error
    // (failed() then tells which).
    bool next(std::string& line) {
        line.clear();
        for (;;) {
            if (pos_ == end_) {
                if (!fill()) {
                    // A last line without its terminator counts, unless the read failed.
                    if (!line.empty() && !failed_) {
                        ++line_number_;
                        return true;
                    }
                    return false;
                }
            }
            const char* begin = buffer_.data() + pos_;
            const void* nl    = std::memchr(begin, '\n', end_ - pos_);
            if (nl == nullptr) {
                line.append(begin, end_ - pos_);
                pos_ = end_;
                continue;
            }
            const size_t len = static_cast<size_t>(static_cast<const char*>(nl) - begin);
            line.append(begin, len);
            pos_ += len + 1;
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            ++line_number_;
            return true;
        }
    }

    // Whether compressed input is whole: decodes the rest of it and returns false (message()
    // says why) when it is cut short or corrupt. Tells a damaged file from a malformed one after
    // its contents were found wrong. Plain input is always whole.
    bool intact() {
        if (!compressed_) {
            return true;
        }
        while (!failed_ && fill()) {
        }
        pos_ = end_;
#ifndef TRELVAK_HAVE_ZLIB
        if (!failed_ && file_ != nullptr) {
            const int status = ::pclose(file_);
            file_            = nullptr;
            if (status != 0) {
                message_ = path_ + ": decompression failed (corrupt or truncated file?)";
                failed_  = true;
            }
        }
#endif
        return !failed_;
    }

private:
    // More raw bytes behind those not yet consumed (raw_pos_..raw_end_), up to kChunk in all.
    bool read_raw() {
        if (raw_eof_) {
            return true;
        }
        std::memmove(raw_.data(), raw_.data() + raw_pos_, raw_end_ - raw_pos_);
        raw_end_ -= raw_pos_;
        raw_pos_          = 0;
        const size_t want = raw_.size() - raw_end_;
        const size_t got  = std::fread(raw_.data() + raw_end_, 1, want, file_);
        raw_end_ += got;
        if (got < want) {
            raw_eof_ = true;
            if (std::ferror(file_)) {
                message_ = path_ + ": cannot read: " + std::strerror(errno);
                failed_  = true;
                return false;
            }
        }
        return true;
    }

    // The next decoded bytes into buffer_[0, end_); false at the end or on an error.
    bool fill() {
        pos_ = 0;
        end_ = 0;
        if (failed_ || done_) {
            return false;
        }
        if (!compressed_) {
            // Plain text is the raw bytes themselves: hand the chunk over and read the next.
            if (raw_pos_ == raw_end_) {
                if (raw_eof_) {
                    done_ = true;
                    return false;
                }
                if (!read_raw()) {
                    return false;
                }
                if (raw_end_ == 0) {
                    done_ = true;
                    return false;
                }
            }
            buffer_.swap(raw_);
            end_ = raw_end_;
            raw_.resize(kChunk);
            raw_pos_ = 0;
            raw_end_ = 0;
            return true;
        }
#ifdef TRELVAK_HAVE_ZLIB
        return inflate_some();
#else
        buffer_.resize(kChunk);
        const size_t got = std::fread(buffer_.data(), 1, buffer_.size(), file_);
        if (got == 0) {
            done_ = true;
            if (std::ferror(file_)) {
                message_ = path_ + ": cannot read: " + std::strerror(errno);
                failed_  = true;
            }
            return false;
        }
        end_ = got;
        return true;
#endif
    }

#ifdef TRELVAK_HAVE_ZLIB
    // Inflates until some output is ready. Concatenated gzip members are decoded in turn; bytes
    // after the last member that do not begin another are ignored, as gzip's own readers do.
    bool inflate_some() {
        buffer_.resize(kChunk);
        for (;;) {
            if (raw_pos_ == raw_end_ && !raw_eof_ && !read_raw()) {
                return false;
            }
            z_.next_in   = reinterpret_cast<Bytef*>(raw_.data() + raw_pos_);
            z_.avail_in  = static_cast<uInt>(raw_end_ - raw_pos_);
            z_.next_out  = reinterpret_cast<Bytef*>(buffer_.data());
            z_.avail_out = static_cast<uInt>(buffer_.size());
            const int rc = inflate(&z_, Z_NO_FLUSH);
            raw_pos_     = raw_end_ - z_.avail_in;
            end_         = buffer_.size() - z_.avail_out;
            if (rc == Z_STREAM_END) {
                if (!next_member()) {
                    done_ = true;
                }
            } else if (rc != Z_OK && rc != Z_BUF_ERROR) {
                message_ = path_ + ": cannot read (corrupt gzip data?): " +
                           (z_.msg != nullptr ? z_.msg : "invalid compressed data");
                failed_ = true;
                return false;
            } else if (end_ == 0 && raw_pos_ == raw_end_ && raw_eof_) {
                message_ = path_ + ": compressed data ends unexpectedly (truncated file?)";
                failed_  = true;
                return false;
            }
            if (end_ > 0) {
                return true;
            }
            if (done_) {
                return false;
            }
        }
    }

    // After a member's end: whether another member follows (the decoder is then reset for it).
    bool next_member() {
        if (raw_end_ - raw_pos_ < 2 && !raw_eof_ && !read_raw()) {
            return false;
        }
        if (raw_end_ - raw_pos_ < 2 || static_cast<unsigned char>(raw_[raw_pos_]) != 0x1f ||
            static_cast<unsigned char>(raw_[raw_pos_ + 1]) != 0x8b) {
            return false;
        }
        return inflateReset(&z_) == Z_OK;
    }
#else
    // Without zlib a regular file is decompressed by "gzip -dc" through a pipe; a stream cannot
    // be handed to it again, since its first bytes are already read.
    bool open_gzip_pipe() {
        if (regular_size_ < 0) {
            message_ = path_ + ": cannot read compressed data from a pipe (this build has no zlib)";
            return false;
        }
        std::fclose(file_);
        // Single quotes protect every character but the quote itself, written as '\''.
        std::string quoted = "'";
        for (char c : path_) {
            quoted += (c == '\'') ? std::string("'\\''") : std::string(1, c);
        }
        quoted += "'";
        const std::string command = "gzip -dc -- " + quoted + " 2>/dev/null";
        file_ = ::popen(command.c_str(), "r");
        piped_ = file_ != nullptr;
        if (file_ == nullptr) {
            message_ = path_ + ": cannot open: " + std::strerror(errno);
            return false;
        }
        return true;
    }
#endif

    void close_input() {
#ifdef TRELVAK_HAVE_ZLIB
        if (inflating_) {
            inflateEnd(&z_);
            inflating_ = false;
        }
#else
        if (piped_ && file_ != nullptr) {
            ::pclose(file_);
            file_ = nullptr;
        }
#endif
        if (file_ != nullptr) {
            std::fclose(file_);
            file_ = nullptr;
        }
    }

    std::string path_;
    std::string message_;
    std::FILE* file_ = nullptr;
    std::vector<char> raw_;  // bytes as read; [raw_pos_, raw_end_) not yet consumed
    size_t raw_pos_ = 0;
    size_t raw_end_ = 0;
    bool raw_eof_   = false;
    std::vector<char> buffer_;  // decoded bytes; [pos_, end_) not yet handed out as lines
    size_t pos_             = 0;
    size_t end_             = 0;
    long line_number_       = 0;
    long long regular_size_ = -1;
    bool compressed_        = false;
    bool failed_            = false;
    bool done_              = false;
#ifdef TRELVAK_HAVE_ZLIB
    z_stream z_{};
    bool inflating_ = false;
#else
    bool piped_ = false;
#endif
};

// ------------------------------------------------------------------------------------------------
// Token parsing
// ------------------------------------------------------------------------------------------------

bool blank(const std::string& line) {
    return line.find_first_not_of(" \t\r\f\v") == std::string::npos;
}

std::vector<std::string> split(const std::string& line) {
    std::vector<std::string> tokens;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) {
            ++i;
        }
        const size_t start = i;
        while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) {
            ++i;
        }
        if (i > start) {
            tokens.push_back(line.substr(start, i - start));
        }
    }
    return tokens;
}

std::string lower(std::string s) {
    for (char& c : s) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

// Parses a whole token as a long integer.
bool parse_long(const char* s, long* value) {
    errno     = 0;
    char* end = nullptr;
    *value    = std::strtol(s, &end, 10);
    return errno == 0 && end != s && *end == '\0';
}

// Parses a whole token as a double; accepts a Fortran exponent letter (1.0D+00).
bool parse_double(const char* s, double* value) {
    char* end = nullptr;
    *value    = std::strtod(s, &end);
    if (end != s && *end == '\0') {
        return true;
    }
    std::string copy(s);
    for (char& c : copy) {
        if (c == 'd' || c == 'D') {
            c = 'e';
        }
    }
    const char* t = copy.c_str();
    *value        = std::strtod(t, &end);
    return end != t && *end == '\0';
}

// Fast path for an entry line "i j v": indices and value without allocation. Returns the number
// of fields read (0..3), or -1 when a field is malformed or a fourth one follows.
int parse_entry(const std::string& line, long* i, long* j, double* v, bool want_value) {
    const char* p = line.c_str();
    char* end     = nullptr;
    errno         = 0;
    *i            = std::strtol(p, &end, 10);
    if (end == p) {
        return blank(line) ? 0 : -1;
    }
    if (errno != 0 || (*end != '\0' && !std::isspace(static_cast<unsigned char>(*end)))) {
        return -1;
    }
    p  = end;
    *j = std::strtol(p, &end, 10);
    if (end == p) {
        return blank(p) ? 1 : -1;
    }
    if (errno != 0 || (*end != '\0' && !std::isspace(static_cast<unsigned char>(*end)))) {
        return -1;
    }
    p = end;
    if (!want_value) {
        return blank(p) ? 2 : -1;
    }
    while (std::isspace(static_cast<unsigned char>(*p))) {
        ++p;
    }
    if (*p == '\0') {
        return 2;
    }
    const char* start = p;
    while (*p != '\0' && !std::isspace(static_cast<unsigned char>(*p))) {
        ++p;
    }
    const std::string token(start, p);
    if (!parse_double(token.c_str(), v)) {
        return -1;
    }
    return blank(p) ? 3 : -1;
}

std::string located(const std::string& path, long line, const std::string& what) {
    return path + ":" + std::to_string(line) + ": " + what;
}

std::string fmt(double x) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.6g", x);
    return buf;
}

// ------------------------------------------------------------------------------------------------
// Assembly
// ------------------------------------------------------------------------------------------------

// Compressed rows of the triplets (0-based rows/cols), columns ascending, duplicates summed.
struct Rows {
    std::vector<long> ptr;  // 0-based, n+1
    std::vector<int> col;
    std::vector<double> val;
};

Rows compress(int n, const std::vector<int>& ri, const std::vector<int>& ci,
              const std::vector<double>& v, long* duplicates) {
    Rows r;
    r.ptr.assign(static_cast<size_t>(n) + 1, 0);
    for (int i : ri) {
        ++r.ptr[static_cast<size_t>(i) + 1];
    }
    std::partial_sum(r.ptr.begin(), r.ptr.end(), r.ptr.begin());
    std::vector<long> next(r.ptr.begin(), r.ptr.end() - 1);
    std::vector<std::pair<int, double>> slot(v.size());
    for (size_t k = 0; k < v.size(); ++k) {
        slot[static_cast<size_t>(next[static_cast<size_t>(ri[k])]++)] = {ci[k], v[k]};
    }
    r.col.reserve(v.size());
    r.val.reserve(v.size());
    long out = 0;
    for (int i = 0; i < n; ++i) {
        auto first = slot.begin() + r.ptr[static_cast<size_t>(i)];
        auto last  = slot.begin() + r.ptr[static_cast<size_t>(i) + 1];
        std::sort(first, last, [](const auto& x, const auto& y) { return x.first < y.first; });
        r.ptr[static_cast<size_t>(i)] = out;
        for (auto it = first; it != last; ++it) {
            if (out > r.ptr[static_cast<size_t>(i)] && r.col.back() == it->first) {
                r.val.back() += it->second;
                ++*duplicates;
                continue;
            }
            r.col.push_back(it->first);
            r.val.push_back(it->second);
            ++out;
        }
    }
    r.ptr[static_cast<size_t>(n)] = out;
    return r;
}

double find(const Rows& r, int i, int j, bool* present) {
    auto first = r.col.begin() + r.ptr[static_cast<size_t>(i)];
    auto last  = r.col.begin() + r.ptr[static_cast<size_t>(i) + 1];
    auto it    = std::lower_bound(first, last, j);
    *present   = it != last && *it == j;
    return *present ? r.val[static_cast<size_t>(it - r.col.begin())] : 0.0;
}

// Rows as the solver's 1-based record.
void store(const Rows& r, int n, UpperMatrix* m) {
    m->n = n;
    m->ia.resize(static_cast<size_t>(n) + 1);
    for (int i = 0; i <= n; ++i) {
        m->ia[static_cast<size_t>(i)] = static_cast<int>(r.ptr[static_cast<size_t>(i)] + 1);
    }
    m->ja.resize(r.col.size());
    for (size_t k = 0; k < r.col.size(); ++k) {
        m->ja[k] = r.col[k] + 1;
    }
    m->a = r.val;
}

// ------------------------------------------------------------------------------------------------
// The reader's steps. Each one reads on from where the last stopped and returns a Step: ok, or
// the kind and the message of the first fault.
// ------------------------------------------------------------------------------------------------

struct Step {
    ReadError kind = ReadError::kNone;
    std::string message;
    bool ok() const { return kind == ReadError::kNone; }
};

Step invalid(std::string message) {
    return {ReadError::kInvalid, std::move(message)};
}
Step unreadable(std::string message) {
    return {ReadError::kUnreadable, std::move(message)};
}

// A line that src could not deliver: a read error, or else the end of the input described.
Step missing(const LineSource& src, std::string at_end) {
    return src.failed() ? unreadable(src.message()) : invalid(std::move(at_end));
}

struct SizeLine {
    int n     = 0;
    long nnz  = 0;  // as declared
    long line = 0;  // its line number
};

// Entries as read: 0-based positions and values.
struct Triplets {
    std::vector<int> row, col;
    std::vector<double> val;
    long first_up   = 0;  // line of the first entry above the diagonal
    long first_down = 0;  // line of the first entry below the diagonal
};

// The banner: "%%MatrixMarket matrix coordinate <real|integer> <symmetric|general>".
Step read_banner(LineSource& src, const std::string& path, ReadResult* result) {
    std::string line;
    if (!src.next(line)) {
        return missing(src, path + ": file is empty");
    }
    const auto banner = split(line);
    if (banner.empty() || lower(banner[0]) != "%%matrixmarket") {
        return invalid(located(path, 1,
                               "not a Matrix Market file (the first line must begin with "
                               "'%%MatrixMarket')"));
    }
    if (banner.size() != 5) {
        return invalid(located(path, 1,
                               "banner must read '%%MatrixMarket matrix coordinate <field> "
                               "<symmetry>'"));
    }
    const std::string object = lower(banner[1]);
    const std::string format = lower(banner[2]);
    const std::string field  = lower(banner[3]);
    const std::string symm   = lower(banner[4]);
    if (object != "matrix") {
        return invalid(
            located(path, 1, "object '" + banner[1] + "' is not supported (need 'matrix')"));
    }
    if (format != "coordinate") {
        return invalid(located(
            path, 1,
            "format '" + banner[2] + "' is not supported (need a sparse 'coordinate' file)"));
    }
    if (field == "complex") {
        return invalid(located(path, 1, "complex matrices are not supported (need a real matrix)"));
    }
    if (field == "pattern") {
        return invalid(located(path, 1, "pattern matrices carry no values (need a real matrix)"));
    }
    if (field != "real" && field != "integer" && field != "double") {
        return invalid(
            located(path, 1, "unknown field '" + banner[3] + "' (need real or integer)"));
    }
    if (symm == "skew-symmetric" || symm == "hermitian") {
        return invalid(located(path, 1,
                               "'" + banner[4] +
                                   "' matrices are not supported (need a real symmetric matrix "
                                   "stored as 'symmetric' or 'general')"));
    }
    if (symm != "symmetric" && symm != "general") {
        return invalid(located(path, 1, "unknown symmetry '" + banner[4] + "'"));
    }
    result->general       = symm == "general";
    result->integer_field = field == "integer";
    return {};
}

// The size line "rows columns entries" after the comments: a square matrix within 32-bit indices.
Step read_size_line(LineSource& src, const std::string& path, SizeLine* size) {
    std::string line;
    do {
        if (!src.next(line)) {
            return missing(src, path + ": file ends before the size line");
        }
    } while (line.empty() || line[0] == '%' || blank(line));
    size->line       = src.line_number();
    const auto sizes = split(line);
    long rows = 0, cols = 0, nnz = 0;
    if (sizes.size() != 3 || !parse_long(sizes[0].c_str(), &rows) ||
        !parse_long(sizes[1].c_str(), &cols) || !parse_long(sizes[2].c_str(), &nnz)) {
        return invalid(located(path, size->line, "size line must hold 'rows columns entries'"));
    }
    if (rows < 0 || cols < 0 || nnz < 0) {
        return invalid(located(path, size->line, "negative size"));
    }
    if (rows != cols) {
        return invalid(located(
            path, size->line,
            "matrix is not square (" + std::to_string(rows) + " x " + std::to_string(cols) + ")"));
    }
    if (rows == 0) {
        return invalid(located(path, size->line, "matrix is empty (0 x 0)"));
    }
    if (rows >= INT_MAX || nnz >= INT_MAX / 2) {
        return invalid(located(path, size->line, "matrix too large for 32-bit indices"));
    }
    // Each entry touches at most two rows: with more rows than twice the entries, some row is
    // empty and the matrix singular. Refused here, before arrays of the declared order exist.
    if (rows > 2 * nnz) {
        return invalid(located(path, size->line,
                               "singular: " + std::to_string(nnz) + " entries cannot reach all " +
                                   std::to_string(rows) + " rows (some row is empty)"));
    }
    size->n   = static_cast<int>(rows);
    size->nnz = nnz;
    return {};
}

// Room for the declared entries, but no more than the input can hold: a plain regular file of
// b bytes holds at most b / 6 entry lines ("1 1 1" and its end of line); of other input only a
// first share is reserved, and the arrays grow as entries arrive.
size_t entries_to_reserve(const LineSource& src, long declared) {
    constexpr long kUnknownInputReserve = 1L << 20;
    const long long bytes               = src.plain_size();
    const long bound = bytes >= 0 ? static_cast<long>(bytes / 6 + 1) : kUnknownInputReserve;
    return static_cast<size_t>(std::min(declared, bound));
}

// The entry lines "row column value": exactly as many as the size line declares, inside the
// matrix, finite.
Step read_entries(LineSource& src, const std::string& path, const SizeLine& size, Triplets* t,
                  ReadResult* result) {
    const size_t room = entries_to_reserve(src, size.nnz);
    t->row.reserve(room);
    t->col.reserve(room);
    t->val.reserve(room);
    const long n = size.n;
    long count   = 0;
    std::string line;
    while (src.next(line)) {
        if (line.empty() || line[0] == '%' || blank(line)) {
            continue;
        }
        const long at = src.line_number();
        if (count == size.nnz) {
            return invalid(located(
                path, at,
                "more entries than the " + std::to_string(size.nnz) + " the size line declares"));
        }
        long i = 0, j = 0;
        double v = 0.0;
        if (parse_entry(line, &i, &j, &v, true) != 3) {
            return invalid(located(
                path, at, "entry must read 'row column value', got '" + line.substr(0, 60) + "'"));
        }
        const std::string entry = "entry (" + std::to_string(i) + "," + std::to_string(j) + ")";
        if (i < 1 || i > n || j < 1 || j > n) {
            return invalid(located(path, at,
                                   entry + " is outside the " + std::to_string(n) + " x " +
                                       std::to_string(n) + " matrix"));
        }
        if (!std::isfinite(v)) {
            return invalid(
                located(path, at, entry + " is " + (std::isnan(v) ? "NaN" : "infinite")));
        }
        if (v == 0.0) {
            ++result->explicit_zeros;
        }
        if (i < j && t->first_up == 0) {
            t->first_up = at;
        }
        if (i > j && t->first_down == 0) {
            t->first_down = at;
        }
        t->row.push_back(static_cast<int>(i - 1));
        t->col.push_back(static_cast<int>(j - 1));
        t->val.push_back(v);
        ++count;
    }
    if (src.failed() || !src.intact()) {
        return unreadable(src.message());
    }
    if (count < size.nnz) {
        return invalid(located(path, size.line,
                               "file ends after " + std::to_string(count) + " of the " +
                                   std::to_string(size.nnz) + " entries the size line declares"));
    }
    result->entries_read = count;
    return {};
}

// Symmetric storage: the entries of one triangle (either) become the upper triangle.
Step fold_one_triangle(const std::string& path, int n, Triplets& t, ReadResult* result) {
    if (t.first_up != 0 && t.first_down != 0) {
        return invalid(path + ": a symmetric file must store one triangle, but line " +
                       std::to_string(t.first_down) + " lies below and line " +
                       std::to_string(t.first_up) + " above the diagonal");
    }
    for (size_t k = 0; k < t.row.size(); ++k) {
        if (t.row[k] > t.col[k]) {
            std::swap(t.row[k], t.col[k]);
        }
    }
    store(compress(n, t.row, t.col, t.val, &result->duplicates), n, &result->matrix);
    return {};
}

// General storage: the asymmetry is measured, then the two triangles are averaged, which the
// summing of duplicate positions does when each off-diagonal entry enters as a half.
Step average_triangles(const std::string& path, int n, Triplets& t, double tolerance,
                       ReadResult* result) {
    const Rows r = compress(n, t.row, t.col, t.val, &result->duplicates);
    t            = Triplets{};
    double norm2 = 0.0, diff2 = 0.0, worst = -1.0;
    int wi = 0, wj = 0;
    double wa = 0.0, wb = 0.0;
    std::vector<int> ui, uj;
    std::vector<double> uv;
    for (int i = 0; i < n; ++i) {
        for (long k = r.ptr[static_cast<size_t>(i)]; k < r.ptr[static_cast<size_t>(i) + 1]; ++k) {
            const int j     = r.col[static_cast<size_t>(k)];
            const double ai = r.val[static_cast<size_t>(k)];
            norm2 += ai * ai;
            ui.push_back(std::min(i, j));
            uj.push_back(std::max(i, j));
            uv.push_back(i == j ? ai : 0.5 * ai);
            if (i == j) {
                continue;
            }
            bool present    = false;
            const double aj = find(r, j, i, &present);
            if (i > j && present) {
                continue;  // the pair was measured from its upper entry
            }
            // ||A - A'||_F^2 counts the difference at (i,j) and at (j,i).
            const double d = ai - aj;
            diff2 += 2.0 * d * d;
            if (std::fabs(d) > worst) {
                worst = std::fabs(d);
                wi    = i;
                wj    = j;
                wa    = ai;
                wb    = aj;
            }
        }
    }
    result->asymmetry = norm2 > 0.0 ? std::sqrt(diff2 / norm2) : 0.0;
    if (result->asymmetry > tolerance) {
        return invalid(
            path + ": matrix is not symmetric: ||A - A'||_F / ||A||_F = " + fmt(result->asymmetry) +
            "; largest difference: A(" + std::to_string(wi + 1) + "," + std::to_string(wj + 1) +
            ") = " + fmt(wa) + " but A(" + std::to_string(wj + 1) + "," + std::to_string(wi + 1) +
            ") = " + fmt(wb) + " (tolerance " + fmt(tolerance) + ", see --symmetry-tol)");
    }
    long merged = 0;
    store(compress(n, ui, uj, uv, &merged), n, &result->matrix);
    return {};
}

// Rows without a nonzero diagonal entry.
long count_zero_diagonal(const UpperMatrix& m) {
    long zeros = 0;
    for (int i = 1; i <= m.n; ++i) {
        const int k             = m.ia[static_cast<size_t>(i) - 1];
        const bool has_diagonal = k < m.ia[static_cast<size_t>(i)] &&
                                  m.ja[static_cast<size_t>(k) - 1] == i &&
                                  m.a[static_cast<size_t>(k) - 1] != 0.0;
        zeros += has_diagonal ? 0 : 1;
    }
    return zeros;
}

}  // namespace

// ------------------------------------------------------------------------------------------------
// Matrix reader
// ------------------------------------------------------------------------------------------------

ReadResult read_matrix_market(const std::string& path, const ReadOptions& options) {
    ReadResult result;
    LineSource src;
    SizeLine size;
    Triplets entries;
    Step step = src.open(path) ? Step{} : unreadable(src.message());
    if (step.ok()) {
        result.compressed = src.compressed();
        step              = read_banner(src, path, &result);
    }
    if (step.ok()) {
        step = read_size_line(src, path, &size);
    }
    if (step.ok()) {
        step = read_entries(src, path, size, &entries, &result);
    }
    if (step.ok()) {
        step = result.general
                   ? average_triangles(path, size.n, entries, options.symmetry_tol, &result)
                   : fold_one_triangle(path, size.n, entries, &result);
    }
    if (!step.ok()) {
        // Contents cut short by a damaged compressed file are an unreadable file, not a bad one.
        if (step.kind == ReadError::kInvalid && !src.intact()) {
            step = unreadable(src.message());
        }
        result.error   = step.kind;
        result.message = step.message;
        result.matrix  = UpperMatrix{};
        return result;
    }
    result.zero_diagonal = count_zero_diagonal(result.matrix);
    return result;
}

// ------------------------------------------------------------------------------------------------
// Vectors
// ------------------------------------------------------------------------------------------------

VectorResult read_vector(const std::string& path, int n) {
    VectorResult result;
    LineSource src;
    auto fail = [&](ReadError kind, const std::string& message) {
        // Contents cut short by a damaged compressed file are an unreadable file, not a bad one.
        const bool damaged = kind == ReadError::kInvalid && !src.intact();
        result.error       = damaged ? ReadError::kUnreadable : kind;
        result.message     = damaged ? src.message() : message;
        result.values.clear();
        return result;
    };
    if (!src.open(path)) {
        return fail(ReadError::kUnreadable, src.message());
    }
    std::string line;
    bool first                                           = true;
    enum class Kind { kPlain, kArray, kCoordinate } kind = Kind::kPlain;
    long expected                                        = n;
    bool sized                                           = false;
    result.values.reserve(static_cast<size_t>(n));
    long count = 0;
    while (src.next(line)) {
        const long at = src.line_number();
        if (first) {
            first = false;
            if (line.rfind("%%", 0) == 0) {
                const auto b = split(line);
                if (b.size() < 5 || lower(b[0]) != "%%matrixmarket" || lower(b[1]) != "matrix") {
                    return fail(ReadError::kInvalid, located(path, at, "bad Matrix Market banner"));
                }
                const std::string f = lower(b[3]);
                if (f != "real" && f != "integer" && f != "double") {
                    return fail(
                        ReadError::kInvalid,
                        located(path, at, "right-hand side must be real, not '" + b[3] + "'"));
                }
                if (lower(b[2]) == "array") {
                    kind = Kind::kArray;
                } else if (lower(b[2]) == "coordinate") {
                    kind = Kind::kCoordinate;
                    result.values.assign(static_cast<size_t>(n), 0.0);
                } else {
                    return fail(ReadError::kInvalid,
                                located(path, at, "unknown format '" + b[2] + "'"));
                }
                continue;
            }
        }
        if (line.empty() || line[0] == '%' || blank(line)) {
            continue;
        }
        const auto tokens = split(line);
        if (kind != Kind::kPlain && !sized) {
            long r = 0, c = 0, e = 0;
            const bool ok =
                tokens.size() >= 2 && parse_long(tokens[0].c_str(), &r) &&
                parse_long(tokens[1].c_str(), &c) &&
                (kind == Kind::kArray ? tokens.size() == 2
                                      : tokens.size() == 3 && parse_long(tokens[2].c_str(), &e));
            if (!ok) {
                return fail(ReadError::kInvalid, located(path, at, "bad size line"));
            }
            if (r < 0 || c < 0 || e < 0) {
                return fail(ReadError::kInvalid,
                            located(path, at,
                                    "negative " + std::string(e < 0 ? "entry count" : "size") +
                                        " in the size line"));
            }
            if (std::min(r, c) != 1 || std::max(r, c) != n) {
                return fail(ReadError::kInvalid, located(path, at,
                                                         "right-hand side is " + std::to_string(r) +
                                                             " x " + std::to_string(c) + ", need " +
                                                             std::to_string(n) + " x 1"));
            }
            expected = kind == Kind::kArray ? n : e;
            sized    = true;
            continue;
        }
        if (kind == Kind::kCoordinate) {
            long i = 0, j = 0;
            double v = 0.0;
            if (parse_entry(line, &i, &j, &v, true) != 3) {
                return fail(ReadError::kInvalid,
                            located(path, at, "entry must read 'row column value'"));
            }
            const long k = std::max(i, j);
            if (std::min(i, j) != 1 || k < 1 || k > n) {
                return fail(ReadError::kInvalid, located(path, at, "index outside the vector"));
            }
            if (!std::isfinite(v)) {
                return fail(
                    ReadError::kInvalid,
                    located(path, at, std::isnan(v) ? "value is NaN" : "value is infinite"));
            }
            if (count == expected) {
                return fail(ReadError::kInvalid, located(path, at, "more entries than declared"));
            }
            result.values[static_cast<size_t>(k - 1)] += v;
            ++count;
            continue;
        }
        for (const auto& t : tokens) {
            double v = 0.0;
            if (!parse_double(t.c_str(), &v)) {
                return fail(ReadError::kInvalid,
                            located(path, at,
                                    std::string(1, '\'') + t.substr(0, 40) + "' is not a number"));
            }
            if (!std::isfinite(v)) {
                return fail(
                    ReadError::kInvalid,
                    located(path, at, std::isnan(v) ? "value is NaN" : "value is infinite"));
            }
            if (count == n) {
                return fail(ReadError::kInvalid,
                            located(path, at, "more than " + std::to_string(n) + " values"));
            }
            result.values.push_back(v);
            ++count;
        }
    }
    if (src.failed() || !src.intact()) {
        return fail(ReadError::kUnreadable, src.message());
    }
    if (kind != Kind::kPlain && !sized) {
        return fail(ReadError::kInvalid, path + ": file ends before the size line");
    }
    if (count < expected) {
        return fail(ReadError::kInvalid, path + ": holds " + std::to_string(count) +
                                             " values, need " + std::to_string(expected));
    }
    return result;
}

bool write_vector(const std::string& path, const std::vector<double>& x, std::string* message) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) {
        *message = path + ": cannot write: " + std::strerror(errno);
        return false;
    }
    std::fprintf(f, "%%%%MatrixMarket matrix array real general\n%zu 1\n", x.size());
    for (double v : x) {
        std::fprintf(f, "%.17g\n", v);
    }
    const bool ok = std::ferror(f) == 0;
    if (std::fclose(f) != 0 || !ok) {
        *message = path + ": cannot write: " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace trelvak::cli
