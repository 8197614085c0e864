// matrix_market.cpp: Matrix Market input and output for the command-line tool.
//
// Reads "%%MatrixMarket matrix coordinate {real|integer} {symmetric|general}" files, plain or
// gzip-compressed (zlib when the build has it, else "gzip -dc" through a pipe), into the upper
// triangle by rows that the solver takes. The format follows Boisvert, Pozo and Remington, "The
// Matrix Market exchange formats: initial design" (NIST, 1996); keywords are case-insensitive.
//
// On entry: path of the file. On exit: the matrix, or a one-line message that names the file and,
// where it applies, the line and the entry at fault. Duplicate positions are summed. A symmetric
// file must keep to one triangle; a general file must be symmetric up to ReadOptions::symmetry_tol
// (relative, Frobenius norm) and its two triangles are averaged. NaN and infinite values, indices
// out of range, short or long entry lists and sizes beyond 32-bit indices are errors.
// Work space: three arrays of the entry count (row, column, value) and the row pointers.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
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
// Line source over a plain or compressed file
// ------------------------------------------------------------------------------------------------

bool has_gzip_magic(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return false;
    }
    unsigned char magic[2] = {0, 0};
    const size_t got       = std::fread(magic, 1, 2, f);
    std::fclose(f);
    return got == 2 && magic[0] == 0x1f && magic[1] == 0x8b;
}

class LineSource {
public:
    LineSource()                             = default;
    LineSource(const LineSource&)            = delete;
    LineSource& operator=(const LineSource&) = delete;
    ~LineSource() { close(); }

    // Opens path; on failure returns false and sets message().
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
        std::FILE* probe = std::fopen(path.c_str(), "rb");
        if (probe == nullptr) {
            message_ = path + ": cannot open: " + std::strerror(errno);
            return false;
        }
        std::fclose(probe);
        compressed_ = has_gzip_magic(path);
#ifdef TRELVAK_HAVE_ZLIB
        gz_ = gzopen(path.c_str(), "rb");
        if (gz_ == nullptr) {
            message_ = path + ": cannot open: " + std::strerror(errno);
            return false;
        }
        gzbuffer(gz_, 1 << 17);
#else
        if (compressed_) {
            // Single quotes protect every character but the quote itself, written as '\''.
            std::string quoted = "'";
            for (char c : path) {
                quoted += (c == '\'') ? std::string("'\\''") : std::string(1, c);
            }
            quoted += "'";
            const std::string command = "gzip -dc -- " + quoted + " 2>/dev/null";
            file_                     = ::popen(command.c_str(), "r");
            piped_                    = true;
        } else {
            file_ = std::fopen(path.c_str(), "rb");
        }
        if (file_ == nullptr) {
            message_ = path + ": cannot open: " + std::strerror(errno);
            return false;
        }
#endif
        return true;
    }

    bool compressed() const {
        return compressed_;
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

    // Closes the input; for a pipe, reports a failed decompression.
    bool close() {
        bool ok = true;
#ifdef TRELVAK_HAVE_ZLIB
        if (gz_ != nullptr) {
            gzclose(gz_);
            gz_ = nullptr;
        }
#else
        if (file_ != nullptr) {
            if (piped_) {
                const int status = ::pclose(file_);
                ok               = status == 0;
            } else {
                std::fclose(file_);
            }
            file_ = nullptr;
        }
#endif
        return ok;
    }

private:
    bool fill() {
        if (eof_) {
            return false;
        }
        buffer_.resize(1 << 17);
        pos_ = 0;
        end_ = 0;
#ifdef TRELVAK_HAVE_ZLIB
        const int got = gzread(gz_, buffer_.data(), static_cast<unsigned>(buffer_.size()));
        if (got < 0) {
            int code         = 0;
            const char* text = gzerror(gz_, &code);
            message_ = path_ + ": cannot read" + (compressed_ ? " (corrupt gzip data?)" : "") +
                       ": " + (text != nullptr ? text : "unknown error");
            failed_ = true;
            eof_    = true;
            return false;
        }
        if (got == 0) {
            eof_ = true;
            // A truncated gzip stream ends early without an error from gzread.
            int code = 0;
            gzerror(gz_, &code);
            if (code != Z_OK && code != Z_BUF_ERROR) {
                message_ = path_ + ": cannot read compressed data";
                failed_  = true;
            } else if (compressed_ && code == Z_BUF_ERROR) {
                message_ = path_ + ": compressed data ends unexpectedly (truncated file?)";
                failed_  = true;
            }
            return false;
        }
        end_ = static_cast<size_t>(got);
#else
        const size_t got = std::fread(buffer_.data(), 1, buffer_.size(), file_);
        if (got == 0) {
            eof_ = true;
            if (std::ferror(file_)) {
                message_ = path_ + ": cannot read: " + std::strerror(errno);
                failed_  = true;
            }
            return false;
        }
        end_ = got;
#endif
        return true;
    }

    std::string path_;
    std::string message_;
    std::vector<char> buffer_;
    size_t pos_       = 0;
    size_t end_       = 0;
    long line_number_ = 0;
    bool compressed_  = false;
    bool failed_      = false;
    bool eof_         = false;
#ifdef TRELVAK_HAVE_ZLIB
    gzFile gz_ = nullptr;
#else
    std::FILE* file_ = nullptr;
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

}  // namespace

// ------------------------------------------------------------------------------------------------
// Matrix reader
// ------------------------------------------------------------------------------------------------

ReadResult read_matrix_market(const std::string& path, const ReadOptions& options) {
    ReadResult result;
    LineSource src;
    auto fail = [&](ReadError kind, const std::string& message) {
        result.error   = kind;
        result.message = message;
        result.matrix  = UpperMatrix{};
        // Contents cut short by a failed decompression are an unreadable file, not a bad one.
        if (kind == ReadError::kInvalid && src.compressed() && !src.close()) {
            result.error   = ReadError::kUnreadable;
            result.message = path + ": decompression failed (corrupt or truncated file?)";
        }
        return result;
    };

    if (!src.open(path)) {
        return fail(ReadError::kUnreadable, src.message());
    }
    result.compressed = src.compressed();

    std::string line;
    if (!src.next(line)) {
        if (src.failed()) {
            return fail(ReadError::kUnreadable, src.message());
        }
        return fail(ReadError::kInvalid, path + ": file is empty");
    }

    // Banner.
    const auto banner = split(line);
    if (banner.empty() || lower(banner[0]) != "%%matrixmarket") {
        return fail(ReadError::kInvalid,
                    located(path, 1,
                            "not a Matrix Market file (the first line must begin with "
                            "'%%MatrixMarket')"));
    }
    if (banner.size() != 5) {
        return fail(ReadError::kInvalid,
                    located(path, 1,
                            "banner must read '%%MatrixMarket matrix coordinate <field> "
                            "<symmetry>'"));
    }
    const std::string object = lower(banner[1]);
    const std::string format = lower(banner[2]);
    const std::string field  = lower(banner[3]);
    const std::string symm   = lower(banner[4]);
    if (object != "matrix") {
        return fail(
            ReadError::kInvalid,
            located(path, 1, "object '" + banner[1] + "' is not supported (need 'matrix')"));
    }
    if (format != "coordinate") {
        return fail(ReadError::kInvalid,
                    located(path, 1,
                            "format '" + banner[2] +
                                "' is not supported (need a sparse 'coordinate' file)"));
    }
    if (field == "complex") {
        return fail(ReadError::kInvalid,
                    located(path, 1, "complex matrices are not supported (need a real matrix)"));
    }
    if (field == "pattern") {
        return fail(ReadError::kInvalid,
                    located(path, 1, "pattern matrices carry no values (need a real matrix)"));
    }
    if (field != "real" && field != "integer" && field != "double") {
        return fail(ReadError::kInvalid,
                    located(path, 1, "unknown field '" + banner[3] + "' (need real or integer)"));
    }
    if (symm == "skew-symmetric" || symm == "hermitian") {
        return fail(ReadError::kInvalid,
                    located(path, 1,
                            "'" + banner[4] +
                                "' matrices are not supported (need a real symmetric "
                                "matrix stored as 'symmetric' or 'general')"));
    }
    if (symm != "symmetric" && symm != "general") {
        return fail(ReadError::kInvalid, located(path, 1, "unknown symmetry '" + banner[4] + "'"));
    }
    result.general       = symm == "general";
    result.integer_field = field == "integer";

    // Size line after the comments.
    long size_line = 0;
    for (;;) {
        if (!src.next(line)) {
            if (src.failed()) {
                return fail(ReadError::kUnreadable, src.message());
            }
            return fail(ReadError::kInvalid, path + ": file ends before the size line");
        }
        if (line.empty() || line[0] == '%' || blank(line)) {
            continue;
        }
        size_line = src.line_number();
        break;
    }
    const auto sizes = split(line);
    long rows = 0, cols = 0, nnz = 0;
    if (sizes.size() != 3 || !parse_long(sizes[0].c_str(), &rows) ||
        !parse_long(sizes[1].c_str(), &cols) || !parse_long(sizes[2].c_str(), &nnz)) {
        return fail(ReadError::kInvalid,
                    located(path, size_line, "size line must hold 'rows columns entries'"));
    }
    if (rows < 0 || cols < 0 || nnz < 0) {
        return fail(ReadError::kInvalid, located(path, size_line, "negative size"));
    }
    if (rows != cols) {
        return fail(ReadError::kInvalid, located(path, size_line,
                                                 "matrix is not square (" + std::to_string(rows) +
                                                     " x " + std::to_string(cols) + ")"));
    }
    if (rows == 0) {
        return fail(ReadError::kInvalid, located(path, size_line, "matrix is empty (0 x 0)"));
    }
    if (rows >= INT_MAX || nnz >= INT_MAX / 2) {
        return fail(ReadError::kInvalid,
                    located(path, size_line, "matrix too large for 32-bit indices"));
    }
    const int n = static_cast<int>(rows);

    // Entries.
    std::vector<int> ri, ci;
    std::vector<double> vals;
    ri.reserve(static_cast<size_t>(nnz));
    ci.reserve(static_cast<size_t>(nnz));
    vals.reserve(static_cast<size_t>(nnz));
    long count      = 0;
    long first_up   = 0;  // line of the first entry above the diagonal (symmetric files)
    long first_down = 0;  // line of the first entry below the diagonal
    while (src.next(line)) {
        if (line.empty() || line[0] == '%' || blank(line)) {
            continue;
        }
        const long at = src.line_number();
        if (count == nnz) {
            return fail(ReadError::kInvalid,
                        located(path, at,
                                "more entries than the " + std::to_string(nnz) +
                                    " the size line declares"));
        }
        long i = 0, j = 0;
        double v      = 0.0;
        const int got = parse_entry(line, &i, &j, &v, true);
        if (got != 3) {
            return fail(ReadError::kInvalid, located(path, at,
                                                     "entry must read 'row column value', got '" +
                                                         line.substr(0, 60) + "'"));
        }
        if (i < 1 || i > rows || j < 1 || j > cols) {
            return fail(ReadError::kInvalid,
                        located(path, at,
                                "entry (" + std::to_string(i) + "," + std::to_string(j) +
                                    ") is outside the " + std::to_string(rows) + " x " +
                                    std::to_string(cols) + " matrix"));
        }
        if (!std::isfinite(v)) {
            return fail(ReadError::kInvalid, located(path, at,
                                                     std::string("entry (") + std::to_string(i) +
                                                         "," + std::to_string(j) + ") is " +
                                                         (std::isnan(v) ? "NaN" : "infinite")));
        }
        if (v == 0.0) {
            ++result.explicit_zeros;
        }
        if (i < j && first_up == 0) {
            first_up = at;
        }
        if (i > j && first_down == 0) {
            first_down = at;
        }
        ri.push_back(static_cast<int>(i - 1));
        ci.push_back(static_cast<int>(j - 1));
        vals.push_back(v);
        ++count;
    }
    if (src.failed()) {
        return fail(ReadError::kUnreadable, src.message());
    }
    if (!src.close()) {
        return fail(ReadError::kUnreadable, path + ": decompression failed");
    }
    if (count < nnz) {
        return fail(ReadError::kInvalid, path + ": file ends after " + std::to_string(count) +
                                             " of the " + std::to_string(nnz) +
                                             " entries the size line declares");
    }
    result.entries_read = count;

    UpperMatrix& m = result.matrix;
    m.n            = n;
    if (!result.general) {
        if (first_up != 0 && first_down != 0) {
            return fail(ReadError::kInvalid,
                        path + ": a symmetric file must store one triangle, but line " +
                            std::to_string(first_down) + " lies below and line " +
                            std::to_string(first_up) + " above the diagonal");
        }
        for (size_t k = 0; k < ri.size(); ++k) {
            if (ri[k] > ci[k]) {
                std::swap(ri[k], ci[k]);
            }
        }
        const Rows r = compress(n, ri, ci, vals, &result.duplicates);
        m.ia.resize(static_cast<size_t>(n) + 1);
        for (int i = 0; i <= n; ++i) {
            m.ia[static_cast<size_t>(i)] = static_cast<int>(r.ptr[static_cast<size_t>(i)] + 1);
        }
        m.ja.resize(r.col.size());
        for (size_t k = 0; k < r.col.size(); ++k) {
            m.ja[k] = r.col[k] + 1;
        }
        m.a = r.val;
    } else {
        // General storage: measure the asymmetry, then average the two triangles, which the
        // summing of duplicate positions does when each entry enters as a half.
        const Rows r = compress(n, ri, ci, vals, &result.duplicates);
        ri.clear();
        ci.clear();
        vals.clear();
        double norm2 = 0.0, diff2 = 0.0, worst = -1.0;
        int wi = 0, wj = 0;
        double wa = 0.0, wb = 0.0;
        std::vector<int> ui, uj;
        std::vector<double> uv;
        for (int i = 0; i < n; ++i) {
            for (long k = r.ptr[static_cast<size_t>(i)]; k < r.ptr[static_cast<size_t>(i) + 1];
                 ++k) {
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
        result.asymmetry = norm2 > 0.0 ? std::sqrt(diff2 / norm2) : 0.0;
        if (result.asymmetry > options.symmetry_tol) {
            return fail(ReadError::kInvalid,
                        path + ": matrix is not symmetric: ||A - A'||_F / ||A||_F = " +
                            fmt(result.asymmetry) + "; largest difference: A(" +
                            std::to_string(wi + 1) + "," + std::to_string(wj + 1) +
                            ") = " + fmt(wa) + " but A(" + std::to_string(wj + 1) + "," +
                            std::to_string(wi + 1) + ") = " + fmt(wb) + " (tolerance " +
                            fmt(options.symmetry_tol) + ", see --symmetry-tol)");
        }
        long merged  = 0;
        const Rows u = compress(n, ui, uj, uv, &merged);
        m.ia.resize(static_cast<size_t>(n) + 1);
        for (int i = 0; i <= n; ++i) {
            m.ia[static_cast<size_t>(i)] = static_cast<int>(u.ptr[static_cast<size_t>(i)] + 1);
        }
        m.ja.resize(u.col.size());
        for (size_t k = 0; k < u.col.size(); ++k) {
            m.ja[k] = u.col[k] + 1;
        }
        m.a = u.val;
    }

    for (int i = 1; i <= n; ++i) {
        const int k             = m.ia[static_cast<size_t>(i) - 1];
        const bool has_diagonal = k < m.ia[static_cast<size_t>(i)] &&
                                  m.ja[static_cast<size_t>(k) - 1] == i &&
                                  m.a[static_cast<size_t>(k) - 1] != 0.0;
        if (!has_diagonal) {
            ++result.zero_diagonal;
        }
    }
    return result;
}

// ------------------------------------------------------------------------------------------------
// Vectors
// ------------------------------------------------------------------------------------------------

VectorResult read_vector(const std::string& path, int n) {
    VectorResult result;
    auto fail = [&](ReadError kind, const std::string& message) {
        result.error   = kind;
        result.message = message;
        result.values.clear();
        return result;
    };
    LineSource src;
    if (!src.open(path)) {
        return fail(ReadError::kUnreadable, src.message());
    }
    std::string line;
    bool first                                           = true;
    enum class Kind { kPlain, kArray, kCoordinate } kind = Kind::kPlain;
    long expected                                        = n;
    bool sized                                           = false;
    std::vector<char> seen;
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
                    seen.assign(static_cast<size_t>(n), 0);
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
    if (src.failed()) {
        return fail(ReadError::kUnreadable, src.message());
    }
    if (!src.close()) {
        return fail(ReadError::kUnreadable, path + ": decompression failed");
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
