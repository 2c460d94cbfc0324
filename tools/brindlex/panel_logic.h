// `brindlex panel`'s rules, free of sockets and clocks: which requests are
// refused and why, what each accepted one sends to the library, and the
// tool's own mirror of what it sent (the library reads nothing back).
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace panel {

// What the panel sends through the library: one command per call.
class Outputs {
public:
    virtual ~Outputs() = default;
    virtual void States(int32_t device, uint32_t states) = 0; // bit n: output n on
    virtual void Levels(int32_t device, const std::array<uint8_t, 32> &levels) = 0;
};

struct Request {
    std::string method;
    std::string target; // path and query, as sent
    std::string host;   // the Host header, or empty
    std::string origin; // the Origin header, or empty when there is none
    std::string contentType;
    std::string body;
};

struct Response {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
    std::string allow; // for 405: the method that would be accepted
};

struct Settings {
    uint16_t port = 0;   // the one the server listens on
    std::string token;   // required on every request
    int pulseMs = 100;   // how long a click keeps an output on
    std::string about;   // a JSON object for the page: port, library, devices
    std::string page;    // the HTML page
};

// A pulse ends this long after it began at the most, whatever was asked.
constexpr int LONGEST_PULSE_MS = 1000;

class Panel {
public:
    Panel(Settings settings, Outputs &outputs);

    // now: seconds on any steady clock, the same for every call.
    Response Handle(const Request &request, double now);
    // Ends the pulse under way once it is due; the time it is due, or a
    // negative number when there is none.
    double EndPulseIfDue(double now);
    // Every state and level of the eight devices off.
    void AllOff();
    bool quitAsked() const { return quit_; }

private:
    Response Act(const std::string &action, const std::string &body, double now);
    std::string State() const;
    void SendStates(int32_t device);
    void EndPulse();

    Settings settings_;
    Outputs &outputs_;
    std::array<uint32_t, 8> states_{};
    std::array<std::array<uint8_t, 32>, 8> levels_{};
    int32_t pulseDevice_ = 0; // 0: no pulse under way
    int pulseOutput_ = 0;
    double pulseEnds_ = 0;
    bool quit_ = false;
};

} // namespace panel
