// A logic-analyser view of the flash bus for driver tests: every low period
// of FLASH_CS (PA11) becomes a frame of the bytes seen on MOSI and MISO,
// sampled on the rising SPCK edges as a mode-3 slave samples them. Given a
// reply function it also answers as a slave, changing MISO on falling edges.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "board/pins.h"

namespace test {

struct Frame {
    std::vector<uint8_t> mosi, miso;
    unsigned stray_bits = 0;   // bits after the last whole byte
};

class SpiPeer {
public:
    // frame: index of the frame; index: byte of the frame about to be clocked.
    using Reply = std::function<uint8_t(size_t frame, size_t index)>;

    explicit SpiPeer(board::Pins &pins, Reply reply = {}) : pins_(pins), reply_(std::move(reply))
    {
        if (reply_)
            source_ = pins.add_source("scripted slave");
        pins.add_listener([this](uint32_t changed, uint32_t levels) { on_lines(changed, levels); });
    }

    std::vector<Frame> frames;
    bool selected() const { return selected_; }

    // The MOSI bytes of every frame, for comparison with what a command sends.
    std::vector<std::vector<uint8_t>> sent() const
    {
        std::vector<std::vector<uint8_t>> out;
        for (const auto &f : frames)
            out.push_back(f.mosi);
        return out;
    }

private:
    static constexpr uint32_t kCs = 1u << 11, kMiso = 1u << 12, kMosi = 1u << 13, kSck = 1u << 14;

    void on_lines(uint32_t changed, uint32_t levels)
    {
        if (changed & kCs) {
            selected_ = !(levels & kCs);
            if (selected_) {
                frames.emplace_back();
                bit_ = 0;
                load_reply();
            } else {
                frames.back().stray_bits = bit_;
                if (reply_)
                    pins_.release(source_, kMiso);
            }
            return;
        }
        if (!selected_ || !(changed & kSck))
            return;
        if (levels & kSck) {
            mosi_ = static_cast<uint8_t>((mosi_ << 1) | ((levels & kMosi) ? 1 : 0));
            miso_ = static_cast<uint8_t>((miso_ << 1) | ((levels & kMiso) ? 1 : 0));
            if (++bit_ == 8) {
                bit_ = 0;
                frames.back().mosi.push_back(mosi_);
                frames.back().miso.push_back(miso_);
                load_reply();
            }
        } else if (reply_) {
            pins_.drive(source_, kMiso, kMiso, ((out_ >> (7 - bit_)) & 1) ? kMiso : 0);
        }
    }

    void load_reply()
    {
        if (reply_)
            out_ = reply_(frames.size() - 1, frames.back().mosi.size());
    }

    board::Pins &pins_;
    Reply reply_;
    board::Pins::SourceId source_ = 0;
    bool selected_ = false;
    unsigned bit_ = 0;
    uint8_t mosi_ = 0, miso_ = 0, out_ = 0xFF;
};

}  // namespace test
