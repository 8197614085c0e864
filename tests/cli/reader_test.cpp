// Matrix Market reader of the tool: round trips of generated matrices, the format's variants,
// and one clear, located error per kind of bad input.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli.h"
#include "common/testing.h"
#include "temp_files.h"

namespace {

using trelvak::cli::read_matrix_market;
using trelvak::cli::ReadError;
using trelvak::cli::UpperMatrix;
using trelvak::test::Csr;
using trelvak::test::file_bytes;
using trelvak::test::TempDir;

void expect_same(const UpperMatrix& got, const Csr& want) {
    ASSERT_EQ(got.n, want.nr);
    EXPECT_EQ(got.ia, want.ia);
    EXPECT_EQ(got.ja, want.ja);
    ASSERT_EQ(got.a.size(), want.a.size());
    for (size_t k = 0; k < want.a.size(); ++k) {
        EXPECT_EQ(got.a[k], want.a[k]) << "entry " << k;
    }
}

TEST(Reader, GeneratedMatricesRoundTripInEveryStorage) {
    TempDir dir;
    const std::vector<Csr> cases = {
        trelvak::test::laplace2d(7, 5, 0.3),
        trelvak::test::random_symmetric(60, 4, 11, 0.2, 0.1, /*keep_zeros=*/true),
        trelvak::test::saddle_point(30, 12, 3, 5),
    };
    int id = 0;
    for (const Csr& m : cases) {
        for (bool general : {false, true}) {
            const std::string text = trelvak::test::matrix_market_text(m, general);
            for (bool gz : {false, true}) {
                char name[32];
                std::snprintf(name, sizeof name, "m%d.mtx", id++);
                const std::string path =
                    gz ? dir.write_gz(std::string(name) + ".gz", text) : dir.write(name, text);
                const auto r = read_matrix_market(path);
                ASSERT_EQ(r.error, ReadError::kNone) << r.message;
                EXPECT_EQ(r.general, general);
                EXPECT_EQ(r.compressed, gz);
                EXPECT_EQ(r.asymmetry, 0.0);
                expect_same(r.matrix, m);
            }
        }
    }
}

TEST(Reader, AcceptsTheFormatsVariants) {
    TempDir dir;
    // Upper-case banner, integer field, comments and blank lines, CRLF endings, a Fortran
    // exponent, entries given in the upper triangle only, a duplicate that is summed, a missing
    // diagonal entry in row 2.
    const std::string text =
        "%%MatrixMarket MATRIX Coordinate INTEGER Symmetric\r\n"
        "% comment\r\n"
        "\r\n"
        "3 3 5\r\n"
        "1 1 4\r\n"
        "1 3 2.5D+00\r\n"
        "  3 3   -1  \r\n"
        "1 2 1\r\n"
        "1 2 2\r\n";
    const auto r = read_matrix_market(dir.write("v.mtx", text));
    ASSERT_EQ(r.error, ReadError::kNone) << r.message;
    EXPECT_TRUE(r.integer_field);
    EXPECT_EQ(r.duplicates, 1);
    EXPECT_EQ(r.zero_diagonal, 1);
    EXPECT_EQ(r.matrix.ia, (std::vector<int>{1, 4, 4, 5}));
    EXPECT_EQ(r.matrix.ja, (std::vector<int>{1, 2, 3, 3}));
    EXPECT_EQ(r.matrix.a, (std::vector<double>{4.0, 3.0, 2.5, -1.0}));
}

TEST(Reader, GeneralFileWithinToleranceIsAveragedAndItsAsymmetryReported) {
    TempDir dir;
    const std::string text =
        "%%MatrixMarket matrix coordinate real general\n"
        "2 2 4\n1 1 2\n2 2 3\n1 2 1.0\n2 1 1.0000000000001\n";
    const auto r = read_matrix_market(dir.write("g.mtx", text));
    ASSERT_EQ(r.error, ReadError::kNone) << r.message;
    EXPECT_GT(r.asymmetry, 0.0);
    EXPECT_LT(r.asymmetry, 1e-12);
    ASSERT_EQ(r.matrix.a.size(), 3u);
    EXPECT_DOUBLE_EQ(r.matrix.a[1], 0.5 * (1.0 + 1.0000000000001));
    // An entry whose mirror is missing counts as asymmetry in full.
    const auto lonely = read_matrix_market(dir.write(
        "l.mtx", "%%MatrixMarket matrix coordinate real general\n2 2 3\n1 1 1\n2 2 1\n2 1 1\n"));
    ASSERT_EQ(lonely.error, ReadError::kInvalid);
    EXPECT_NE(lonely.message.find("A(2,1) = 1 but A(1,2) = 0"), std::string::npos)
        << lonely.message;
    trelvak::cli::ReadOptions loose;
    loose.symmetry_tol = 1.0;
    const auto halved  = read_matrix_market(dir.path() + "/l.mtx", loose);
    ASSERT_EQ(halved.error, ReadError::kNone);
    EXPECT_EQ(halved.matrix.a, (std::vector<double>{1.0, 0.5, 1.0}));
}

struct BadCase {
    const char* name;
    const char* text;
    ReadError kind;
    const char* message_part;
};

TEST(Reader, RejectsBadInputWithALocatedMessage) {
    TempDir dir;
    const std::string mm             = "%%MatrixMarket matrix coordinate real symmetric\n";
    const std::string mmg            = "%%MatrixMarket matrix coordinate real general\n";
    const std::vector<BadCase> cases = {
        {"empty", "", ReadError::kInvalid, "file is empty"},
        {"nobanner", "3 3 1\n1 1 1\n", ReadError::kInvalid, "not a Matrix Market file"},
        {"complex", "%%MatrixMarket matrix coordinate complex symmetric\n1 1 1\n1 1 1 0\n",
         ReadError::kInvalid, "complex matrices are not supported"},
        {"pattern", "%%MatrixMarket matrix coordinate pattern symmetric\n1 1 1\n1 1\n",
         ReadError::kInvalid, "pattern matrices carry no values"},
        {"array", "%%MatrixMarket matrix array real general\n1 1\n1\n", ReadError::kInvalid,
         "'coordinate'"},
        {"skew", "%%MatrixMarket matrix coordinate real skew-symmetric\n2 2 1\n2 1 1\n",
         ReadError::kInvalid, "not supported"},
        {"short_banner", "%%MatrixMarket matrix coordinate real\n", ReadError::kInvalid, "banner"},
        {"nosize", "%%MatrixMarket matrix coordinate real symmetric\n% only a comment\n",
         ReadError::kInvalid, "before the size line"},
        {"badsize", "%%MatrixMarket matrix coordinate real symmetric\n3 3\n", ReadError::kInvalid,
         ":2: size line"},
        {"nonsquare", "%%MatrixMarket matrix coordinate real general\n3 4 1\n1 1 1\n",
         ReadError::kInvalid, "not square (3 x 4)"},
        {"zero", "%%MatrixMarket matrix coordinate real general\n0 0 0\n", ReadError::kInvalid,
         "empty (0 x 0)"},
        {"huge", "%%MatrixMarket matrix coordinate real general\n3000000000 3000000000 1\n",
         ReadError::kInvalid, "32-bit"},
        // An order the entries cannot fill: refused before arrays of that order are made.
        {"emptyrows", "%%MatrixMarket matrix coordinate real symmetric\n100000000 100000000 3\n",
         ReadError::kInvalid, ":2: singular: 3 entries cannot reach all 100000000 rows"},
        {"nan", "%%MatrixMarket matrix coordinate real symmetric\n2 2 2\n1 1 1\n2 1 nan\n",
         ReadError::kInvalid, ":4: entry (2,1) is NaN"},
        {"inf", "%%MatrixMarket matrix coordinate real symmetric\n2 2 2\n1 1 -inf\n2 2 1\n",
         ReadError::kInvalid, ":3: entry (1,1) is infinite"},
        {"outside", "%%MatrixMarket matrix coordinate real symmetric\n2 2 1\n3 1 1\n",
         ReadError::kInvalid, "(3,1) is outside the 2 x 2 matrix"},
        {"zeroindex", "%%MatrixMarket matrix coordinate real symmetric\n2 2 1\n0 1 1\n",
         ReadError::kInvalid, "outside"},
        {"fewer", "%%MatrixMarket matrix coordinate real symmetric\n2 2 3\n1 1 1\n2 2 1\n",
         ReadError::kInvalid, ":2: file ends after 2 of the 3 entries"},
        {"truncated", "%%MatrixMarket matrix coordinate real symmetric\n2 2 2\n1 1 1\n2 2",
         ReadError::kInvalid, ":4: entry must read 'row column value', got '2 2'"},
        {"nonnumeric", "%%MatrixMarket matrix coordinate real symmetric\n2 2 1\n1 1 abc\n",
         ReadError::kInvalid, ":3: entry must read 'row column value', got '1 1 abc'"},
        {"more", "%%MatrixMarket matrix coordinate real symmetric\n2 2 1\n1 1 1\n2 2 1\n",
         ReadError::kInvalid, ":4: more entries than the 1"},
        {"garbage", "%%MatrixMarket matrix coordinate real symmetric\n2 2 1\n1 x 1\n",
         ReadError::kInvalid, ":3: entry must read 'row column value'"},
        {"novalue", "%%MatrixMarket matrix coordinate real symmetric\n2 2 1\n1 1\n",
         ReadError::kInvalid, "row column value"},
        {"extra", "%%MatrixMarket matrix coordinate real symmetric\n2 2 1\n1 1 1 7\n",
         ReadError::kInvalid, "row column value"},
        {"bothtriangles", "%%MatrixMarket matrix coordinate real symmetric\n2 2 2\n2 1 1\n1 2 1\n",
         ReadError::kInvalid, "must store one triangle"},
        {"asymmetric",
         "%%MatrixMarket matrix coordinate real general\n2 2 4\n1 1 2\n2 2 2\n1 2 1\n2 1 3\n",
         ReadError::kInvalid, "not symmetric"},
    };
    (void)mm;
    (void)mmg;
    for (const auto& c : cases) {
        const auto r = read_matrix_market(dir.write(std::string(c.name) + ".mtx", c.text));
        EXPECT_EQ(r.error, c.kind) << c.name << ": " << r.message;
        EXPECT_NE(r.message.find(c.message_part), std::string::npos)
            << c.name << ": message was: " << r.message;
        EXPECT_NE(r.message.find(c.name), std::string::npos) << "message names the file";
        EXPECT_EQ(r.matrix.n, 0);
    }
}

TEST(Reader, AsymmetryMessageNamesTheWorstPair) {
    TempDir dir;
    const auto r = read_matrix_market(dir.write(
        "a.mtx",
        "%%MatrixMarket matrix coordinate real general\n3 3 5\n1 1 2\n2 2 2\n3 3 2\n3 1 0.5\n1 3 "
        "0.25\n"));
    ASSERT_EQ(r.error, ReadError::kInvalid);
    EXPECT_NE(r.message.find("A(1,3) = 0.25 but A(3,1) = 0.5"), std::string::npos) << r.message;
    EXPECT_NE(r.message.find("--symmetry-tol"), std::string::npos);
}

TEST(Reader, UnreadableFilesAreToldApartFromInvalidOnes) {
    TempDir dir;
    auto missing = read_matrix_market(dir.path() + "/absent.mtx");
    EXPECT_EQ(missing.error, ReadError::kUnreadable);
    EXPECT_NE(missing.message.find("cannot open"), std::string::npos);
    auto directory = read_matrix_market(dir.path());
    EXPECT_EQ(directory.error, ReadError::kUnreadable);
    EXPECT_NE(directory.message.find("is a directory"), std::string::npos);

    // A gzip file cut in the middle of its data.
    std::string text = trelvak::test::matrix_market_text(trelvak::test::laplace2d(30, 30), false);
    const std::string gz = dir.write_gz("whole.mtx.gz", text);
    std::FILE* f         = std::fopen(gz.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::string bytes;
    char buf[4096];
    size_t got = 0;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, got);
    std::fclose(f);
    const auto cut = read_matrix_market(dir.write("cut.mtx.gz", bytes.substr(0, bytes.size() / 2)));
    EXPECT_EQ(cut.error, ReadError::kUnreadable) << cut.message;
    EXPECT_EQ(cut.matrix.n, 0);
}

TEST(Vectors, ReadsEveryLayoutAndRejectsBadOnes) {
    TempDir dir;
    using trelvak::cli::read_vector;
    const std::vector<double> want{1.5, -2.0, 3e-7};
    const auto plain = read_vector(dir.write("p.txt", "1.5 -2\n\n3e-7\n"), 3);
    ASSERT_EQ(plain.error, ReadError::kNone) << plain.message;
    EXPECT_EQ(plain.values, want);
    const auto array = read_vector(
        dir.write("a.mtx", "%%MatrixMarket matrix array real general\n% c\n3 1\n1.5\n-2\n3e-7\n"),
        3);
    ASSERT_EQ(array.error, ReadError::kNone) << array.message;
    EXPECT_EQ(array.values, want);
    const auto coord = read_vector(
        dir.write(
            "c.mtx",
            "%%MatrixMarket matrix coordinate real general\n3 1 3\n3 1 3e-7\n1 1 1.5\n2 1 -2\n"),
        3);
    ASSERT_EQ(coord.error, ReadError::kNone) << coord.message;
    EXPECT_EQ(coord.values, want);

    std::string message;
    const std::string out = dir.path() + "/x.mtx";
    ASSERT_TRUE(trelvak::cli::write_vector(out, {0.1, 1.0 / 3.0, -1e300}, &message)) << message;
    const auto back = read_vector(out, 3);
    ASSERT_EQ(back.error, ReadError::kNone);
    EXPECT_EQ(back.values, (std::vector<double>{0.1, 1.0 / 3.0, -1e300}));

    EXPECT_NE(read_vector(dir.write("s.txt", "1 2\n"), 3).message.find("holds 2 values, need 3"),
              std::string::npos);
    EXPECT_NE(read_vector(dir.write("l.txt", "1 2 3 4\n"), 3).message.find("more than 3"),
              std::string::npos);
    EXPECT_NE(read_vector(dir.write("n.txt", "1 nan 3\n"), 3).message.find("NaN"),
              std::string::npos);
    EXPECT_NE(read_vector(dir.write("w.mtx", "%%MatrixMarket matrix array real general\n4 1\n"), 3)
                  .message.find("need 3 x 1"),
              std::string::npos);
    EXPECT_EQ(read_vector(dir.path() + "/none", 3).error, ReadError::kUnreadable);
    // Negative counts and sizes in a coordinate file were taken for "no entries".
    const auto negative = read_vector(
        dir.write("neg.mtx", "%%MatrixMarket matrix coordinate real general\n3 1 -2\n"), 3);
    EXPECT_EQ(negative.error, ReadError::kInvalid);
    EXPECT_NE(negative.message.find("neg.mtx:2: negative entry count"), std::string::npos)
        << negative.message;
    const auto negsize = read_vector(
        dir.write("negs.mtx", "%%MatrixMarket matrix coordinate real general\n3 -1 1\n3 1 1\n"), 3);
    EXPECT_EQ(negsize.error, ReadError::kInvalid);
    EXPECT_NE(negsize.message.find("negs.mtx:2: negative size"), std::string::npos)
        << negsize.message;
    EXPECT_FALSE(trelvak::cli::write_vector(dir.path() + "/no/such/dir/x", want, &message));
}

// Calls read(path) with path naming the read end of a pipe that a second thread fills with bytes
// (as /dev/stdin or a process substitution does); the pipe cannot be reopened or rewound.
template <class Result>
Result through_pipe(const std::string& bytes,
                    const std::function<Result(const std::string&)>& read) {
    std::signal(SIGPIPE, SIG_IGN);  // a reader that stops early must not end the test
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    std::thread writer([&] {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fds[1], bytes.data() + done, bytes.size() - done);
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
        ::close(fds[1]);
    });
    Result r = read("/dev/fd/" + std::to_string(fds[0]));
    ::close(fds[0]);
    writer.join();
    return r;
}

TEST(Reader, PipesAreReadOnceAndProbedFromTheBytesRead) {
    TempDir dir;
    const Csr m            = trelvak::test::laplace2d(80, 40, 0.3);  // more than one read chunk
    const std::string text = trelvak::test::matrix_market_text(m, false);
    ASSERT_GT(text.size(), size_t{1} << 17);
    const std::string gz = file_bytes(dir.write_gz("m.mtx.gz", text));
    std::function<trelvak::cli::ReadResult(const std::string&)> read = [](const std::string& p) {
        return read_matrix_market(p);
    };
    // A build without zlib decompresses regular files only and says so for a pipe.
    const bool inflates = through_pipe(gz, read).message.find("no zlib") == std::string::npos;
    for (const bool compressed : {false, true}) {
        if (compressed && !inflates) {
            continue;
        }
        const auto r = through_pipe(compressed ? gz : text, read);
        ASSERT_EQ(r.error, ReadError::kNone) << r.message;
        EXPECT_EQ(r.compressed, compressed);
        expect_same(r.matrix, m);
    }
    // A bad file through a pipe gets the message of its real fault.
    const auto junk = through_pipe(std::string("junk\n"), read);
    EXPECT_EQ(junk.error, ReadError::kInvalid);
    EXPECT_NE(junk.message.find(":1: not a Matrix Market file"), std::string::npos) << junk.message;
    const auto cut = through_pipe(gz.substr(0, gz.size() / 2), read);
    EXPECT_EQ(cut.error, ReadError::kUnreadable);
    EXPECT_NE(cut.message.find(inflates ? "truncated" : "no zlib"), std::string::npos)
        << cut.message;

    // The right-hand side through a pipe, plain and compressed.
    std::function<trelvak::cli::VectorResult(const std::string&)> read_rhs =
        [](const std::string& p) { return trelvak::cli::read_vector(p, 3); };
    const auto rhs = through_pipe(std::string("1.5 -2\n3e-7\n"), read_rhs);
    ASSERT_EQ(rhs.error, ReadError::kNone) << rhs.message;
    EXPECT_EQ(rhs.values, (std::vector<double>{1.5, -2.0, 3e-7}));
    if (inflates) {
        const auto rhs_gz = through_pipe(file_bytes(dir.write_gz("b.gz", "1\n2\n3\n")), read_rhs);
        ASSERT_EQ(rhs_gz.error, ReadError::kNone) << rhs_gz.message;
        EXPECT_EQ(rhs_gz.values, (std::vector<double>{1.0, 2.0, 3.0}));
    }
}

TEST(Reader, GzipStreamsAreDecodedWholeOrRefused) {
    TempDir dir;
    const Csr m            = trelvak::test::laplace2d(12, 9);
    const std::string text = trelvak::test::matrix_market_text(m, true);
    // Two members one after the other (as "cat a.gz b.gz" makes) are one stream.
    const size_t half      = text.size() / 2;
    const std::string both = file_bytes(dir.write_gz("h1.gz", text.substr(0, half))) +
                             file_bytes(dir.write_gz("h2.gz", text.substr(half)));
    const auto r = read_matrix_market(dir.write("both.mtx.gz", both));
    ASSERT_EQ(r.error, ReadError::kNone) << r.message;
    expect_same(r.matrix, m);
    // Damaged data in the middle is an unreadable file, whatever the lines decoded so far say.
    std::string bad = file_bytes(dir.write_gz("m.gz", text));
    for (size_t k = bad.size() / 3; k < bad.size() / 3 + 16; ++k) {
        bad[k] = static_cast<char>(~bad[k]);
    }
    const auto corrupt = read_matrix_market(dir.write("bad.mtx.gz", bad));
    EXPECT_EQ(corrupt.error, ReadError::kUnreadable) << corrupt.message;
    EXPECT_NE(corrupt.message.find("bad.mtx.gz"), std::string::npos) << corrupt.message;
}

TEST(Reader, DeclaredEntryCountIsNotTrustedForMemory) {
    // A size line that declares a billion entries in a file that holds one: the reader must
    // report the mismatch, not fail to reserve 16 GB. The reads run in a child process under a
    // 200 MB address-space limit (not under AddressSanitizer, whose shadow memory needs more).
    TempDir dir;
    const std::string text =
        "%%MatrixMarket matrix coordinate real symmetric\n3 3 1000000000\n1 1 4\n";
    const std::vector<std::string> paths = {dir.write("huge.mtx", text),
                                            dir.write_gz("hugez.mtx.gz", text)};
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid  = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::close(fds[0]);
#ifndef __SANITIZE_ADDRESS__
        const rlimit limit{200000000, 200000000};
        ::setrlimit(RLIMIT_AS, &limit);
#endif
        std::string report;
        for (const auto& p : paths) {
            try {
                report += read_matrix_market(p).message + "\n";
            } catch (const std::exception& e) {
                report += std::string("threw: ") + e.what() + "\n";
            }
        }
        const ssize_t ignored = ::write(fds[1], report.data(), report.size());
        (void)ignored;
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string report;
    char buf[1024];
    ssize_t got = 0;
    while ((got = ::read(fds[0], buf, sizeof buf)) > 0) {
        report.append(buf, static_cast<size_t>(got));
    }
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child ended abnormally";
    EXPECT_NE(report.find("huge.mtx:2: file ends after 1 of the 1000000000 entries the size line "
                          "declares"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("hugez.mtx.gz:2: file ends after 1 of the 1000000000 entries"),
              std::string::npos)
        << report;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

}  // namespace
