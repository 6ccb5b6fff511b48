// main.cpp: tarvelo_docgen SOURCE_DIR: makes the parts of the documents
// that are drawn from the exit's tables again, in place (see docgen.h).
#include "tools/docgen/docgen.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: tarvelo_docgen SOURCE_DIR\n");
        return 2;
    }
    int status = 0;
    for (auto *d = tarvelo::docgen::documents_begin(); d != tarvelo::docgen::documents_end(); ++d) {
        const std::string path = std::string(argv[1]) + "/" + d->path;
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        const auto made = in ? d->generate(text.str()) : std::nullopt;
        if (!made) {
            std::fprintf(stderr, "tarvelo_docgen: %s cannot be read, or lacks a marker of a part\n",
                         path.c_str());
            status = 1;
            continue;
        }
        if (*made == text.str()) {
            continue;
        }
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << *made;
        if (!out.flush()) {
            std::fprintf(stderr, "tarvelo_docgen: cannot write %s\n", path.c_str());
            status = 1;
            continue;
        }
        std::printf("made again: %s\n", d->path);
    }
    return status;
}
