#include <string>
#include <vector>

#include "Entry.h"
#include "ProductPlatform.h"

int main(int argc, char** argv) {
    qor::reserveStandardDescriptors();
    std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    return qor::runCaptureProgram(arguments, qor::productPlatform());
}
