// Helpers shared by the benchmarks: the corpus to measure, whole-file reads and a
// temporary directory that is removed again at exit.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace bench {

namespace fs = std::filesystem;

// The folder given on the command line (the first argument Google Benchmark left
// over), else TAVRIK_BENCH_CORPUS, else the corpus kept in the repository.
inline fs::path corpus_dir(int argc, char** argv)
{
    if (argc > 1) {
        return argv[1];
    }
    if (const char* env = std::getenv("TAVRIK_BENCH_CORPUS"); env != nullptr && *env != '\0') {
        return env;
    }
    return fs::path(TAVRIK_FIXTURES_DIR) / "corpus";
}

// Every *.pdf file of dir, sorted by name.
inline std::vector<fs::path> pdf_files(const fs::path& dir)
{
    std::vector<fs::path> out;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        if (entry.is_regular_file(ec) && entry.path().extension() == ".pdf") {
            out.push_back(entry.path());
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

// The whole file, as a reader that loads files in one piece gets it; empty when
// it cannot be read.
inline std::vector<std::uint8_t> read_file(const char* path)
{
    std::vector<std::uint8_t> data;
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr) {
        return data;
    }
    if (std::fseek(f, 0, SEEK_END) == 0) {
        const long size = std::ftell(f);
        if (size > 0 && std::fseek(f, 0, SEEK_SET) == 0) {
            data.resize(static_cast<std::size_t>(size));
            data.resize(std::fread(data.data(), 1, data.size(), f));
        }
    }
    std::fclose(f);
    return data;
}

// The least any reader of a whole file does: open it, read() it into a buffer
// that the caller reuses from file to file (grown, never shrunk), close it.
// Returns the bytes read; 0 when the file cannot be opened.
inline std::size_t read_into(const char* path, std::vector<std::uint8_t>& buffer)
{
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    std::size_t used = 0;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size > 0 && buffer.size() < static_cast<std::size_t>(st.st_size) + 1) {
        buffer.resize(static_cast<std::size_t>(st.st_size) + 1);
    }
    // Reads until end of file, so a file that grew since fstat is still read whole.
    for (;;) {
        if (used == buffer.size()) {
            buffer.resize(buffer.empty() ? 4096 : buffer.size() * 2);
        }
        const ssize_t n = ::read(fd, buffer.data() + used, buffer.size() - used);
        if (n <= 0) {
            break;
        }
        used += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return used;
}

inline bool write_file(const fs::path& path, const void* data, std::size_t size)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        return false;
    }
    const bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

// A fresh directory under the system's temporary folder, removed with everything
// in it when the object goes.
class temp_dir {
public:
    explicit temp_dir(const char* prefix)
    {
        std::string templ = (fs::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
        if (mkdtemp(templ.data()) != nullptr) {
            path_ = templ;
        }
    }
    ~temp_dir()
    {
        if (!path_.empty()) {
            std::error_code ec;
            fs::remove_all(path_, ec);
        }
    }
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;

    [[nodiscard]] const fs::path& path() const noexcept { return path_; }
    [[nodiscard]] bool ok() const noexcept { return !path_.empty(); }

private:
    fs::path path_;
};

}  // namespace bench
