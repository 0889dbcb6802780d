// Runs a fuzz target over the files of corpus folders without a fuzz engine, so the committed
// corpus is replayed by every build. Exits non-zero when an input could not be read.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
    int replayed = 0;
    for (int i = 1; i < argc; ++i) {
        for (const auto& entry : std::filesystem::directory_iterator(argv[i])) {
            std::ifstream in(entry.path(), std::ios::binary);
            if (!in) {
                std::fprintf(stderr, "cannot read %s\n", entry.path().string().c_str());
                return 1;
            }
            // A heap copy of exactly the input's size, so that ASan sees any read past its end.
            const std::vector<std::uint8_t> input{std::istreambuf_iterator<char>(in),
                                                  std::istreambuf_iterator<char>()};
            LLVMFuzzerTestOneInput(input.data(), input.size());
            ++replayed;
        }
    }
    std::printf("replayed %d inputs\n", replayed);
    return replayed > 0 ? 0 : 1;
}
