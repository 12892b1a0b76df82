// Runs a fuzz target's entry point over every saved input of its regression folder,
// so crashes once found by the fuzzer stay fixed in the ordinary (gcc) build.
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s INPUT_DIR\n", argv[0]);
        return 2;
    }
    DIR* dir = opendir(argv[1]);
    if (!dir) {
        std::fprintf(stderr, "cannot open %s\n", argv[1]);
        return 2;
    }
    int count = 0;
    while (dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        std::string path = std::string(argv[1]) + "/" + name;
        FILE* f = std::fopen(path.c_str(), "rb");
        if (!f)
            continue;
        std::vector<uint8_t> buf;
        uint8_t chunk[4096];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
            buf.insert(buf.end(), chunk, chunk + n);
        std::fclose(f);
        LLVMFuzzerTestOneInput(buf.data(), buf.size());
        ++count;
    }
    closedir(dir);
    std::printf("%d inputs replayed from %s\n", count, argv[1]);
    return count > 0 ? 0 : 1;
}
