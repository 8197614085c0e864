// temp_files.h: a temporary directory for the tool's tests, and writers of Matrix Market files
// (plain and gzip) from generated matrices.
#ifndef TRELVAK_TESTS_CLI_TEMP_FILES_H
#define TRELVAK_TESTS_CLI_TEMP_FILES_H

#include <string>

#include "common/testing.h"

namespace trelvak::test {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&)            = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    // Writes text to path()/name and returns the full path.
    std::string write(const std::string& name, const std::string& text) const;
    // Writes text gzip-compressed to path()/name and returns the full path.
    std::string write_gz(const std::string& name, const std::string& text) const;

private:
    std::string path_;
};

// The bytes of a file ("" when it cannot be opened).
std::string file_bytes(const std::string& path);

// Matrix Market text of a symmetric matrix given by its upper triangle: "symmetric" storage of the
// lower triangle, or "general" storage of both triangles.
std::string matrix_market_text(const Csr& upper, bool general);

}  // namespace trelvak::test

#endif  // TRELVAK_TESTS_CLI_TEMP_FILES_H
