// mkcapture: writes the line traffic of the example plant (examples/plant.cap).
//   mkcapture FILE [ROUNDS]

#include <cstdlib>
#include <fstream>
#include <iostream>

#include "tools/common/example_plant.h"

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::cerr << "usage: mkcapture FILE [ROUNDS]" << std::endl;
        return 2;
    }
    unsigned rounds = veltra_frames::kExampleRounds;
    if (argc == 3) {
        char* end = nullptr;
        const unsigned long n = std::strtoul(argv[2], &end, 10);
        if (*argv[2] == '\0' || *end != '\0' || n == 0 || n > 1000) {
            std::cerr << "mkcapture: ROUNDS must be a number from 1 to 1000" << std::endl;
            return 2;
        }
        rounds = static_cast<unsigned>(n);
    }
    std::ofstream out(argv[1], std::ios::binary);
    out << veltra_frames::example_capture(rounds);
    out.close();
    if (!out) {
        std::cerr << "mkcapture: cannot write " << argv[1] << std::endl;
        return 1;
    }
    return 0;
}
