#include <cstdio>
#include <cstring>

// Command-line converter. The batch and its options arrive with the conversion engine; until then
// only --help and --version answer.
int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("sonavert-cli %s\n", SONAVERT_VERSION);
            return 0;
        }
    }
    std::printf("Usage: sonavert-cli [options] PATH...\n"
                "Converts audio files with Sonavert's engine.\n\n"
                "  --help      show this text\n"
                "  --version   show the version\n");
    return 0;
}
