#include "serial_line.h"

#include <algorithm>

namespace korvin::sim {

void serial_line::host_send(uint8_t byte, time_point now) {
    time_point at = now;
    if (paced_) {
        at = std::max(now, rx_last_) + BYTE_TIME;
        rx_last_ = at;
    }
    rx_.push_back({byte, at, at});
    ++received_;
}

std::optional<time_point> serial_line::rx_next() const {
    if (rx_.empty())
        return std::nullopt;
    return rx_.front().at;
}

uint8_t serial_line::rx_pop() {
    const uint8_t b = rx_.front().value;
    rx_.pop_front();
    return b;
}

bool serial_line::tx_full(time_point now) const {
    if (!paced_)
        return out_.size() >= backlog_limit_;
    size_t waiting = tx_.size();
    if (waiting && tx_.front().at <= now)
        --waiting; // that one is in the shift register
    return waiting >= TX_FIFO_SIZE || out_.size() >= backlog_limit_;
}

bool serial_line::tx_idle(time_point now) const {
    if (!paced_)
        return true;
    return tx_.empty() || tx_.back().end <= now;
}

void serial_line::tx_push(uint8_t byte, time_point now) {
    ++sent_;
    if (!paced_) {
        out_.push_back(static_cast<char>(byte));
        return;
    }
    const time_point start = std::max(now, tx_last_);
    tx_last_ = start + BYTE_TIME;
    tx_.push_back({byte, start, tx_last_});
}

std::optional<time_point> serial_line::tx_next() const {
    if (tx_.empty())
        return std::nullopt;
    return tx_.front().end;
}

std::string& serial_line::output(time_point now) {
    while (!tx_.empty() && tx_.front().end <= now) {
        out_.push_back(static_cast<char>(tx_.front().value));
        tx_.pop_front();
    }
    return out_;
}

void serial_line::flush_due(time_point now) {
    if (!output(now).empty() && end_)
        end_->output_due(*this, now);
}

void serial_line::clear(bool discard_input) {
    tx_.clear();
    out_.clear();
    tx_last_ = time_point{};
    if (!discard_input)
        return; // the next opener's first bytes may be queued already
    rx_.clear();
    rx_last_ = time_point{};
}

} // namespace korvin::sim
