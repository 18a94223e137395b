// Runs a fuzz target without libFuzzer: every file of the directories given
// on the command line, then random inputs from a fixed seed, so the suite
// keeps the target building and catches crashes on known inputs.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

bool runFile(const std::string &path)
{
    FILE *file = std::fopen(path.c_str(), "rb");
    if (!file)
        return false;
    std::vector<uint8_t> bytes;
    uint8_t buffer[4096];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes.insert(bytes.end(), buffer, buffer + got);
    std::fclose(file);
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    int files = 0;
    for (int i = 1; i < argc; ++i) {
        std::vector<std::string> paths;
        if (DIR *dir = opendir(argv[i])) {
            while (dirent *entry = readdir(dir)) {
                if (entry->d_name[0] != '.')
                    paths.push_back(std::string(argv[i]) + "/" + entry->d_name);
            }
            closedir(dir);
        } else {
            paths.push_back(argv[i]);
        }
        // A corpus that cannot be read would leave the test passing on nothing.
        for (const std::string &path : paths) {
            if (!runFile(path)) {
                std::fprintf(stderr, "cannot read %s\n", path.c_str());
                return 1;
            }
            ++files;
        }
    }

    std::mt19937 random(20261209);
    std::uniform_int_distribution<int> length(0, 600);
    std::uniform_int_distribution<int> byte(0, 255);
    const int rounds = 3000;
    for (int round = 0; round < rounds; ++round) {
        std::vector<uint8_t> input(static_cast<size_t>(length(random)));
        // Favour the bytes that framing gives meaning to.
        static const uint8_t special[] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x15, 0xDA,
                                          0xF0, 0xFD, 0xFE, 0xFF, 0x80, 0x7F};
        for (auto &b : input)
            b = byte(random) < 96 ? special[byte(random) % sizeof special] : static_cast<uint8_t>(byte(random));
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    std::printf("%d corpus files and %d random inputs ran\n", files, rounds);
    return 0;
}
