#include "panel_command.h"

#include "console.h"
#include "exit_status.h"
#include "link/port.h"
#include "panel_logic.h"
#include "panel_platform.h"
#include "panel_server.h"
#include "port_check.h"

#include <nlohmann/json.hpp>

#include <iostream>
#include <sstream>

extern const char PANEL_PAGE[];
extern const std::size_t PANEL_PAGE_SIZE;

namespace {

class LibraryOutputs : public panel::Outputs {
public:
    explicit LibraryOutputs(const HostLibrary &library) : library_(library) {}
    void States(int32_t device, uint32_t states) override
    {
        const auto banks = cli::Banks(states);
        library_.sba(device, banks[0], banks[1], banks[2], banks[3]);
    }
    void Levels(int32_t device, const std::array<uint8_t, 32> &levels) override
    {
        library_.pba(device, levels.data());
    }

private:
    const HostLibrary &library_;
};

// 128 bits, in hex: the address the panel prints is the key to it.
bool MakeToken(std::string &token)
{
    uint8_t bytes[16];
    if (!RandomBytes(bytes, sizeof bytes)) {
        return false;
    }
    static const char digits[] = "0123456789abcdef";
    for (const uint8_t byte : bytes) {
        token += digits[byte >> 4];
        token += digits[byte & 15];
    }
    return true;
}

} // namespace

int RunPanel(const HostLibrary &library, const std::vector<int32_t> &devices, const cli::Invocation &invocation,
             const std::string &tool)
{
    nlohmann::json about{{"tool", tool},
                         {"library", DescribeLibrary(invocation.library)},
                         {"port", PortName()},
                         {"devices", devices}};
    if (devices.empty()) {
        // The library says nothing when its port failed; check says why.
        std::ostringstream check;
        CheckPort(check, "");
        about["check"] = check.str();
    }
    panel::Settings settings;
    if (!MakeToken(settings.token)) {
        std::cerr << "brindlex: no random numbers from the system for the panel's token\n";
        return EXIT_PORT;
    }
    PanelServer server;
    std::string error;
    if (!server.Listen(static_cast<uint16_t>(invocation.listenPort), error)) {
        std::cerr << "brindlex: " << error << "\n";
        return EXIT_PORT;
    }
    settings.port = server.port();
    settings.pulseMs = invocation.pulseMs;
    settings.about = about.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    settings.page.assign(PANEL_PAGE, PANEL_PAGE_SIZE);
    LibraryOutputs outputs(library);
    panel::Panel panel(settings, outputs);

    CatchInterrupts();
    const std::string address =
        "http://127.0.0.1:" + std::to_string(settings.port) + "/?token=" + settings.token;
    std::cout << "panel at " << address << "\n";
    if (devices.empty()) {
        std::cout << "no device announced: the page shows why\n";
    }
    if (!invocation.noBrowser && !OpenBrowser(address)) {
        std::cout << "open that address in a browser on this computer\n";
    }
    std::cout << "the panel ends with the page's Quit or Ctrl-C, every output and level switched off\n";
    const bool interrupted = server.Run(panel);
    if (!panel.quitAsked()) {
        panel.AllOff();
    }
    std::cout << (interrupted ? "panel interrupted" : "panel quit") << ": every output and level switched off\n";
    return interrupted ? EXIT_INTERRUPTED : 0;
}
