// A fuzz target's entry point as a plain program: every file named, and
// every file of every directory named (in name order, names beginning with
// '.' left out), is given once to LLVMFuzzerTestOneInput. Built with each
// target, it replays the kept corpus and every input that once made the
// target fail in the ordinary builds of the test suite. An input the
// target rejects ends the program as it would end the fuzzer (an abort or a
// sanitizer report); its name is the last one printed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

namespace {

// The inputs a name stands for; false when it names nothing readable.
bool inputsOf(const std::string &name, std::vector<std::string> *inputs)
{
    struct stat st;
    if (stat(name.c_str(), &st) != 0)
        return false;
    if (!S_ISDIR(st.st_mode)) {
        inputs->push_back(name);
        return true;
    }
    DIR *d = opendir(name.c_str());
    if (d == nullptr)
        return false;
    std::vector<std::string> found;
    while (struct dirent *e = readdir(d))
        if (e->d_name[0] != '.')
            found.push_back(name + "/" + e->d_name);
    closedir(d);
    std::sort(found.begin(), found.end());
    inputs->insert(inputs->end(), found.begin(), found.end());
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE-OR-DIRECTORY...\n", argv[0]);
        return 2;
    }
    std::vector<std::string> inputs;
    for (int i = 1; i < argc; i++)
        if (!inputsOf(argv[i], &inputs)) {
            std::fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[i]);
            return 2;
        }
    if (LLVMFuzzerInitialize != nullptr)
        LLVMFuzzerInitialize(&argc, &argv);
    for (const std::string &path : inputs) {
        std::ifstream in(path, std::ios::binary);
        if (!in.is_open()) {
            std::fprintf(stderr, "%s: cannot read %s\n", argv[0], path.c_str());
            return 2;
        }
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::fprintf(stderr, "%s\n", path.c_str());
        std::fflush(stderr);
        // A heap block of exactly the input's length, as the fuzzer gives
        // it, so that the sanitizer catches a read past its end.
        std::unique_ptr<uint8_t[]> data(new uint8_t[bytes.size()]);
        std::copy(bytes.begin(), bytes.end(), data.get());
        LLVMFuzzerTestOneInput(data.get(), bytes.size());
    }
    std::printf("%zu inputs replayed\n", inputs.size());
    return 0;
}
