#include "panel_logic.h"

#include <nlohmann/json.hpp>

#include <set>
#include <utility>

namespace panel {

namespace {

using nlohmann::json;

Response Refused(int status, const std::string &reason)
{
    return Response{status, "text/plain; charset=utf-8", reason + "\n", {}};
}

// The value of name in the query of target, or empty.
std::string QueryValue(const std::string &target, const std::string &name)
{
    const auto question = target.find('?');
    if (question == std::string::npos) {
        return {};
    }
    const std::string query = target.substr(question + 1);
    for (std::size_t at = 0; at <= query.size();) {
        const auto end = std::min(query.find('&', at), query.size());
        const std::string pair = query.substr(at, end - at);
        if (pair.compare(0, name.size() + 1, name + "=") == 0) {
            return pair.substr(name.size() + 1);
        }
        at = end + 1;
    }
    return {};
}

// The whole token, compared in a time that does not tell how much of it was right.
bool SameToken(const std::string &given, const std::string &token)
{
    if (given.size() != token.size() || token.empty()) {
        return false;
    }
    unsigned char difference = 0;
    for (std::size_t i = 0; i < token.size(); ++i) {
        difference |= static_cast<unsigned char>(given[i] ^ token[i]);
    }
    return difference == 0;
}

// A whole number from low to high in field name of body, into value; the
// reason when it is missing or is not one.
std::string Number(const json &body, const char *name, long low, long high, bool required, long &value)
{
    const auto found = body.find(name);
    if (found == body.end()) {
        return required ? std::string("'") + name + "' is missing" : "";
    }
    if (!found->is_number_integer() || found->get<long long>() < low || found->get<long long>() > high) {
        return std::string("'") + name + "' must be a whole number from " + std::to_string(low) + " to " +
               std::to_string(high) + ", not " + found->dump();
    }
    value = static_cast<long>(found->get<long long>());
    return {};
}

} // namespace

Panel::Panel(Settings settings, Outputs &outputs) : settings_(std::move(settings)), outputs_(outputs) {}

Response Panel::Handle(const Request &request, double now)
{
    // A page elsewhere may make the browser send here under a name of its
    // own (DNS rebinding): only the loopback address and our port are us.
    const std::string port = std::to_string(settings_.port);
    if (request.host != "127.0.0.1:" + port && request.host != "localhost:" + port) {
        return Refused(403, "the Host header must be 127.0.0.1:" + port);
    }
    if (!SameToken(QueryValue(request.target, "token"), settings_.token)) {
        return Refused(403, "a missing or wrong token: open the address the panel printed");
    }
    if (!request.origin.empty() && request.origin != "http://" + request.host) {
        return Refused(403, "a request from another site (Origin " + request.origin + ")");
    }
    const std::string path = request.target.substr(0, request.target.find('?'));
    const std::set<std::string> actions{"/api/pulse", "/api/switch", "/api/level", "/api/off", "/api/quit"};
    if (path == "/" || path == "/api/state") {
        if (request.method != "GET") {
            Response refused = Refused(405, path + " is only read, with GET");
            refused.allow = "GET";
            return refused;
        }
        if (path == "/") {
            return Response{200, "text/html; charset=utf-8", settings_.page, {}};
        }
        EndPulseIfDue(now);
        return Response{200, "application/json", State(), {}};
    }
    if (actions.count(path) == 0) {
        return Refused(404, "no such page: " + path);
    }
    if (request.method != "POST") {
        Response refused = Refused(405, "outputs change only by POST, with a JSON body");
        refused.allow = "POST";
        return refused;
    }
    const std::string type = request.contentType.substr(0, request.contentType.find(';'));
    if (type != "application/json") {
        return Refused(415, "the body must be JSON (Content-Type: application/json)");
    }
    return Act(path.substr(5), request.body, now);
}

Response Panel::Act(const std::string &action, const std::string &text, double now)
{
    const json body = json::parse(text, nullptr, false);
    if (body.is_discarded() || !body.is_object()) {
        return Refused(400, "the body is not a JSON object");
    }
    const std::set<std::string> fields = action == "pulse"    ? std::set<std::string>{"device", "output"}
                                         : action == "switch" ? std::set<std::string>{"device", "output", "on"}
                                         : action == "level"  ? std::set<std::string>{"device", "output", "level"}
                                                              : std::set<std::string>{};
    for (const auto &[name, value] : body.items()) {
        if (fields.count(name) == 0) {
            return Refused(400, "unknown field '" + name + "' for " + action);
        }
    }
    long device = 0;
    long output = -1;
    long level = 0;
    const bool addressed = !fields.empty();
    std::string problem = addressed ? Number(body, "device", 1, 8, true, device) : "";
    if (problem.empty() && addressed) {
        problem = Number(body, "output", 0, 31, action != "level", output);
    }
    if (problem.empty() && action == "level") {
        problem = Number(body, "level", 0, 255, true, level);
    }
    if (problem.empty() && action == "switch" && !body["on"].is_boolean()) {
        problem = "'on' must be true or false";
    }
    if (!problem.empty()) {
        return Refused(400, problem);
    }

    EndPulseIfDue(now);
    const auto d = static_cast<int32_t>(device);
    const uint32_t bit = output >= 0 ? 1U << output : 0;
    if (action == "pulse") {
        // One pulse at a time however fast the clicks come: the one under way
        // ends as this one begins, in the same command when it is the same device.
        if (pulseDevice_ != 0 && pulseDevice_ != d) {
            EndPulse();
        }
        if (pulseDevice_ == d) {
            states_[d - 1] &= ~(1U << pulseOutput_);
        }
        states_[d - 1] |= bit;
        SendStates(d);
        pulseDevice_ = d;
        pulseOutput_ = static_cast<int>(output);
        pulseEnds_ = now + std::min(settings_.pulseMs, LONGEST_PULSE_MS) / 1000.0;
    } else if (action == "switch") {
        if (pulseDevice_ == d && pulseOutput_ == output) {
            pulseDevice_ = 0; // switched for good
        }
        states_[d - 1] = body["on"].get<bool>() ? states_[d - 1] | bit : states_[d - 1] & ~bit;
        SendStates(d);
    } else if (action == "level") {
        for (int n = 0; n < 32; ++n) {
            if (output < 0 || n == output) {
                levels_[d - 1][n] = static_cast<uint8_t>(level);
            }
        }
        outputs_.Levels(d, levels_[d - 1]);
    } else if (action == "off") {
        AllOff();
    } else if (action == "quit") {
        AllOff();
        quit_ = true;
    }
    return Response{200, "application/json", State(), {}};
}

double Panel::EndPulseIfDue(double now)
{
    if (pulseDevice_ != 0 && now >= pulseEnds_) {
        EndPulse();
    }
    return pulseDevice_ != 0 ? pulseEnds_ : -1;
}

void Panel::EndPulse()
{
    const int32_t device = pulseDevice_;
    pulseDevice_ = 0;
    states_[device - 1] &= ~(1U << pulseOutput_);
    SendStates(device);
}

void Panel::AllOff()
{
    pulseDevice_ = 0;
    for (int32_t device = 1; device <= 8; ++device) {
        states_[device - 1] = 0;
        levels_[device - 1] = {};
        outputs_.States(device, 0);
        outputs_.Levels(device, levels_[device - 1]);
    }
}

void Panel::SendStates(int32_t device)
{
    outputs_.States(device, states_[device - 1]);
}

std::string Panel::State() const
{
    json states = json::array();
    for (const uint32_t mask : states_) {
        json row = json::array();
        for (int n = 0; n < 32; ++n) {
            row.push_back((mask >> n) & 1U);
        }
        states.push_back(row);
    }
    json state{{"about", json::parse(settings_.about, nullptr, false)},
               {"pulseMs", std::min(settings_.pulseMs, LONGEST_PULSE_MS)},
               {"states", states},
               {"levels", levels_},
               {"pulse", pulseDevice_ != 0 ? json{{"device", pulseDevice_}, {"output", pulseOutput_}} : json()}};
    return state.dump(-1, ' ', false, json::error_handler_t::replace);
}

} // namespace panel
