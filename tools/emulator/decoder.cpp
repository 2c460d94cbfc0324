#include "decoder.h"

#include <algorithm>
#include <utility>

namespace emulator {

std::string Problem(const uint8_t *data, std::size_t size)
{
    if (size > 0 && data[0] != 0x00) {
        return "lead byte is not 0x00";
    }
    if (size > 1 && data[1] != 0x02 && data[1] != 0x03) {
        return "command is neither 0x02 (states) nor 0x03 (levels)";
    }
    if (size > 2 && data[2] % 32 != 0) {
        return "start " + std::to_string(data[2]) + " is not a multiple of 32";
    }
    if (size > 3 && data[3] != 32) {
        return "count " + std::to_string(data[3]) + " is not 32";
    }
    if (size > 1 && data[1] == 0x02) {
        for (std::size_t i = 4; i < size && i < COMMAND_SIZE; ++i) {
            if (data[i] > 1) {
                // Appended, not joined with +: GCC 12 at -O3 for 32-bit ARM
                // reports a false overlap (-Wrestrict) in the joined form.
                std::string problem = "state byte ";
                problem += std::to_string(i - 4);
                problem += " is ";
                problem += std::to_string(data[i]);
                problem += ", not 0 or 1";
                return problem;
            }
        }
    }
    return {};
}

Decoder::Decoder(OnCommand onCommand, OnMalformed onMalformed)
    : onCommand_(std::move(onCommand)), onMalformed_(std::move(onMalformed))
{
}

void Decoder::Feed(const uint8_t *data, std::size_t size, double time)
{
    pending_.insert(pending_.end(), data, data + size);
    arrivals_.emplace_back(bytes(), time);
    Decode(false);
}

void Decoder::Pause()
{
    Decode(true);
    EndRun();
}

void Decoder::Decode(bool paused)
{
    std::size_t at = 0;
    while (at < pending_.size()) {
        const std::size_t available = pending_.size() - at;
        const uint8_t *candidate = &pending_[at];
        std::string problem = Problem(candidate, std::min(available, COMMAND_SIZE));
        if (problem.empty()) {
            if (available < COMMAND_SIZE) {
                break; // a good start; wait for the rest
            }
            // A command that lost a byte and took the next one's first looks
            // whole too; only the header after it shows where it really ended.
            const std::size_t after = std::min<std::size_t>(available - COMMAND_SIZE, 4);
            const std::string next = Problem(candidate + COMMAND_SIZE, after);
            if (next.empty() && after < 4 && !paused) {
                break; // trusted once the next header arrives or the stream pauses
            }
            if (!next.empty()) {
                problem = "the next command does not start right after it (" + next + ")";
            }
        }
        if (!problem.empty()) {
            // A bad byte: it joins the run reported as one, with the reason
            // found at its first byte; then slide on by one.
            if (!inRun_) {
                run_ = Malformed{pendingOffset_ + at, problem, TimeOf(pendingOffset_ + at), {}};
                inRun_ = true;
            }
            run_.bytes.push_back(*candidate);
            if (run_.bytes.size() == LONGEST_RUN) {
                EndRun();
            }
            ++at;
            continue;
        }
        EndRun();
        Command command{pendingOffset_ + at, candidate[1], candidate[2], {}, TimeOf(pendingOffset_ + at + 35)};
        std::copy_n(candidate + 4, 32, command.data.begin());
        auto &table = command.kind == 0x02 ? outputs_.states : outputs_.levels;
        std::copy(command.data.begin(), command.data.end(), table.begin() + command.start);
        ++commands_;
        onCommand_(command);
        at += COMMAND_SIZE;
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(at));
    pendingOffset_ += at;
    while (!arrivals_.empty() && arrivals_.front().first <= pendingOffset_) {
        arrivals_.erase(arrivals_.begin());
    }
}

void Decoder::EndRun()
{
    if (inRun_) {
        inRun_ = false;
        ++errors_;
        onMalformed_(run_);
    }
}

double Decoder::TimeOf(uint64_t offset) const
{
    for (const auto &[end, time] : arrivals_) {
        if (offset < end) {
            return time;
        }
    }
    return arrivals_.empty() ? 0 : arrivals_.back().second;
}

void Decoder::Finish()
{
    Pause();
    if (!pending_.empty()) {
        ++errors_;
        onMalformed_(Malformed{pendingOffset_,
                               "stream ended inside a command (" + std::to_string(pending_.size()) + " of 36 bytes)",
                               TimeOf(pendingOffset_), pending_});
        pendingOffset_ += pending_.size();
        pending_.clear();
        arrivals_.clear();
    }
}

void Decoder::Restart()
{
    Finish();
    outputs_ = Outputs{};
}

void Decoder::Drop(std::size_t size)
{
    Finish();
    pendingOffset_ += size;
    dropped_ += size;
}

} // namespace emulator
