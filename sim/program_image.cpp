#include "sim/program_image.h"

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <vector>

namespace sim {
namespace {

using WmainFunction = int (*)(int, WCHAR**);

std::atomic<unsigned> copyCounter{0};

class SharedObjectImage {
public:
    explicit SharedObjectImage(std::string path) : path_(std::move(path)) {}

    kwin::ProcessEntry LoadCopy() {
        std::call_once(read_, [this] {
            std::ifstream in(path_, std::ios::binary);
            bytes_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        });
        if (bytes_.empty()) {
            fprintf(stderr, "sim: cannot read program image %s\n", path_.c_str());
            return nullptr;
        }
        const auto copy = std::filesystem::temp_directory_path() /
                          ("korvex-image-" + std::to_string(getpid()) + "-" +
                           std::to_string(copyCounter.fetch_add(1, std::memory_order_relaxed)) + ".so");
        {
            std::ofstream out(copy, std::ios::binary);
            out.write(bytes_.data(), static_cast<std::streamsize>(bytes_.size()));
            if (!out) return nullptr;
        }
        void* module = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
        std::error_code ignored;
        std::filesystem::remove(copy, ignored);  // the mapping stays
        if (!module) {
            fprintf(stderr, "sim: cannot load %s: %s\n", path_.c_str(), dlerror());
            return nullptr;
        }
        auto wmain = reinterpret_cast<WmainFunction>(dlsym(module, "wmain"));
        if (!wmain) return nullptr;
        return [wmain](int argc, WCHAR** argv) { return wmain(argc, argv); };
    }

private:
    std::string path_;
    std::once_flag read_;
    std::vector<char> bytes_;
};

}  // namespace

kwin::ProgramLoader SharedObjectProgram(const std::string& path) {
    auto image = std::make_shared<SharedObjectImage>(path);
    return [image] { return image->LoadCopy(); };
}

}  // namespace sim
