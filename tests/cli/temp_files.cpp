// temp_files.cpp: see temp_files.h.
#include "temp_files.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <vector>

namespace trelvak::test {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/trelvak_cli_XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string file_bytes(const std::string& path) {
    std::string bytes;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return bytes;
    }
    char buf[65536];
    size_t got = 0;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) {
        bytes.append(buf, got);
    }
    std::fclose(f);
    return bytes;
}

std::string TempDir::write(const std::string& name, const std::string& text) const {
    const std::string full = path_ + "/" + name;
    std::FILE* f           = std::fopen(full.c_str(), "wb");
    if (f == nullptr) {
        throw std::runtime_error("cannot write " + full);
    }
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    return full;
}

std::string TempDir::write_gz(const std::string& name, const std::string& text) const {
    const std::string full  = path_ + "/" + name;
    const std::string plain = write(name + ".plain", text);
    const std::string cmd   = "gzip -c '" + plain + "' > '" + full + "'";
    if (std::system(cmd.c_str()) != 0) {
        throw std::runtime_error("gzip failed");
    }
    return full;
}

std::string matrix_market_text(const Csr& upper, bool general) {
    std::string s = std::string("%%MatrixMarket matrix coordinate real ") +
                    (general ? "general" : "symmetric") + "\n% generated\n";
    long count = 0;
    std::string body;
    char buf[96];
    for (int i = 1; i <= upper.nr; ++i) {
        for (int k = upper.ia[static_cast<size_t>(i) - 1]; k < upper.ia[static_cast<size_t>(i)];
             ++k) {
            const int j    = upper.ja[static_cast<size_t>(k) - 1];
            const double v = upper.a[static_cast<size_t>(k) - 1];
            // Symmetric storage keeps the lower triangle: (j, i) with j >= i.
            std::snprintf(buf, sizeof buf, "%d %d %.17g\n", j, i, v);
            body += buf;
            ++count;
            if (general && j != i) {
                std::snprintf(buf, sizeof buf, "%d %d %.17g\n", i, j, v);
                body += buf;
                ++count;
            }
        }
    }
    std::snprintf(buf, sizeof buf, "%d %d %ld\n", upper.nr, upper.nc, count);
    return s + buf + body;
}

}  // namespace trelvak::test
