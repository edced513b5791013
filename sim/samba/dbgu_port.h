// The monitor's end of the debug unit: one pass of the boot program's
// polling loop moves what the receiver holds (RHR, while SR.RXRDY) into the
// monitor, and the monitor's answer into the transmitter (THR, while
// SR.TXRDY), all through the chip's bus. Bytes take the line's time: the
// debug unit paces them, the port only polls.
#pragma once

#include <cstdint>
#include <string>

#include "sim/samba/monitor.h"
#include "sim/samba/target.h"

namespace samba {

class DbguPort {
public:
    static constexpr uint32_t kSr = 0xFFFFF214, kRhr = 0xFFFFF218, kThr = 0xFFFFF21C;
    static constexpr uint32_t kRxRdy = 1u << 0, kTxRdy = 1u << 1;

    DbguPort(Target &chip, Monitor &monitor) : chip_(chip), monitor_(monitor) {}

    // One pass, `since` virtual time after the last one.
    void poll(Picos since);
    // Bytes of the monitor's answers not yet handed to the transmitter.
    size_t backlog() const { return backlog_.size(); }

private:
    Target &chip_;
    Monitor &monitor_;
    std::string backlog_;
    size_t sent_ = 0;   // of backlog_
};

}  // namespace samba
