// fmxhost: the host's part played on the command line, to try a plug-in without the host.
#include "fmxhost/driver.h"
#include "fmxhost/platform.h"

#include <iostream>

int main(int argc, char** argv) {
    fmxhost::binaryStandardOutput();
    return fmxhost::run(fmxhost::utf8Arguments(argc, argv), std::cout, std::cerr);
}
