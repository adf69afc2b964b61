// The real entry on the simulated platform, for black-box tests: the scenario comes from the file
// named by QOR_SIM_SCENARIO. Never built into the product.
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "Entry.h"
#include "SimulatedPlatform.h"

int main(int argc, char** argv) {
    qor::reserveStandardDescriptors();
    qor::simulated::Scenario scenario;
    try {
        qor::JSON json = qor::JSON::object();
        if (const char* path = std::getenv("QOR_SIM_SCENARIO"); path != nullptr && *path != '\0') {
            std::ifstream file(path);
            json = qor::JSON::parse(file);
        }
        scenario = qor::simulated::Scenario::fromJSON(json);
    } catch (const std::exception& error) {
        std::cerr << "bad scenario: " << error.what() << '\n';
        return 70;
    }
    qor::simulated::SimulatedPlatform platform(scenario);
    auto view = platform.platform();
    std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    return qor::runCaptureProgram(arguments, view);
}
