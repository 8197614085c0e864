// Matrix Market reader of the tool: round trips of generated matrices, the format's variants,
// and one clear, located error per kind of bad input.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "common/testing.h"
#include "temp_files.h"

namespace {

using trelvak::cli::read_matrix_market;
using trelvak::cli::ReadError;
using trelvak::cli::UpperMatrix;
using trelvak::test::Csr;
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
        {"nan", "%%MatrixMarket matrix coordinate real symmetric\n2 2 2\n1 1 1\n2 1 nan\n",
         ReadError::kInvalid, ":4: entry (2,1) is NaN"},
        {"inf", "%%MatrixMarket matrix coordinate real symmetric\n2 2 2\n1 1 -inf\n2 2 1\n",
         ReadError::kInvalid, ":3: entry (1,1) is infinite"},
        {"outside", "%%MatrixMarket matrix coordinate real symmetric\n2 2 1\n3 1 1\n",
         ReadError::kInvalid, "(3,1) is outside the 2 x 2 matrix"},
        {"zeroindex", "%%MatrixMarket matrix coordinate real symmetric\n2 2 1\n0 1 1\n",
         ReadError::kInvalid, "outside"},
        {"fewer", "%%MatrixMarket matrix coordinate real symmetric\n2 2 3\n1 1 1\n2 2 1\n",
         ReadError::kInvalid, "ends after 2 of the 3 entries"},
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
    EXPECT_FALSE(trelvak::cli::write_vector(dir.path() + "/no/such/dir/x", want, &message));
}

}  // namespace
