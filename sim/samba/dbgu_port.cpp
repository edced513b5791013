#include "sim/samba/dbgu_port.h"

namespace samba {

void DbguPort::poll(Picos since)
{
    bool heard = false;
    while (chip_.read(kSr, 4) & kRxRdy) {
        monitor_.receive(static_cast<uint8_t>(chip_.read(kRhr, 4)));
        heard = true;
    }
    if (!heard)
        monitor_.elapse(since);
    backlog_ += monitor_.take_output();
    while (sent_ < backlog_.size() && (chip_.read(kSr, 4) & kTxRdy))
        chip_.write(kThr, 4, static_cast<uint8_t>(backlog_[sent_++]));
    if (sent_ == backlog_.size()) {
        backlog_.clear();
        sent_ = 0;
    }
}

}  // namespace samba
