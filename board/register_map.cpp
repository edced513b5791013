#include "board/register_map.h"

#include <stdexcept>

namespace board {

const char *access_name(AccessKind a)
{
    switch (a) {
    case AccessKind::ReadOnly: return "read-only";
    case AccessKind::WriteOnly: return "write-only";
    case AccessKind::ReadWrite: return "read-write";
    case AccessKind::WriteOneToSet: return "write-one-to-set";
    case AccessKind::WriteOneToClear: return "write-one-to-clear";
    case AccessKind::Keyed: return "keyed";
    case AccessKind::KeyedReadWrite: return "keyed read-write";
    }
    return "?";
}

Register &RegisterMap::add(uint32_t offset, std::string name, AccessKind access)
{
    if (offset % 4 || find(offset))
        throw std::logic_error(source_ + ": register " + name + " at a misaligned or taken offset " + hex32(offset));
    uint32_t i = offset / 4;
    if (index_.size() <= i)
        index_.resize(i + 1, 0);
    regs_.push_back(Register{});
    Register &r = regs_.back();
    r.offset = offset;
    r.name = std::move(name);
    r.access = access;
    index_[i] = static_cast<uint16_t>(regs_.size());
    return r;
}

Register &RegisterMap::at(uint32_t offset)
{
    const Register *r = find(offset);
    if (!r)
        throw std::logic_error(source_ + ": no register at " + hex32(offset));
    return regs_[static_cast<size_t>(r - regs_.data())];
}

bool RegisterMap::accepts(const Register &r, uint32_t value) const
{
    if (!writable(r.access)) {
        bad_write(r.offset, value, &r);
        return false;
    }
    if (keyed(r.access) && (value & 0xFF000000) != r.key) {
        if (r.bad_key)
            r.bad_key(value);
        else
            log_.warn(source_, r.name + " write of " + hex32(value) + " without key " + hex8(r.key >> 24) + ": ignored");
        return false;
    }
    return true;
}

uint32_t RegisterMap::peek(uint32_t offset) const
{
    const Register *r = find(offset);
    if (!r || !readable(r->access))
        return 0;
    return r->compute ? r->compute() : *r->storage;
}

void RegisterMap::reset(uint32_t from, uint32_t to)
{
    for (auto &r : regs_)
        if (r.storage && r.offset >= from && r.offset < to)
            *r.storage = r.reset;
}

void RegisterMap::bad_read(uint32_t offset, const Register *r)
{
    if (r)
        log_.warn(source_, "read of write-only " + r->name);
    else
        log_.warn(source_, "read of unknown register at offset " + hex32(offset));
}

void RegisterMap::bad_write(uint32_t offset, uint32_t value, const Register *r) const
{
    if (r)
        log_.warn(source_, "write of " + hex32(value) + " to read-only " + r->name);
    else
        log_.warn(source_, "write of " + hex32(value) + " to unknown register at offset " + hex32(offset));
}

}  // namespace board
