// A model's registers, declared once. Each register is one declaration:
// offset, name, access kind, reset value, where its value lives (a field of
// the model, or a side-effect-free function that computes it) and, where the
// chip does more than store the word, hooks for reads with side effects and
// for writes. Reading, writing, peeking, naming, resetting and the logging of
// accesses the map does not allow all follow from the declarations:
//
// - read: a read with side effects runs its hook; otherwise the computed
//   value or the field. A read of a register that cannot be read, or of an
//   offset with no register, is logged and gives 0.
// - peek: the computed value or the field, never a hook, so a debugger or a
//   view cannot disturb the model. Write-only registers peek as 0.
// - write: a hook when declared, otherwise the default of the access kind on
//   the field (read-write), or on the register it acts on (write-one-to-set,
//   write-one-to-clear); then the register's follow-up, if any. A write of
//   a read-only register, or of an offset with no register, is logged and
//   ignored; a keyed register refuses (and logs) a word without its key in
//   bits 31..24 unless it declares what a wrong key does.
//   A register written all the time may name a member of the model that
//   does all of that by a plain call (directly); the declaration still
//   says what it must do (write_as_declared).
// - reset: every field a register owns takes its reset value. A computed
//   register's reset value documents what it shows after reset (a test
//   checks it does).
//
// Declarations are made by the model's constructor through chained calls:
//
//   regs_.add(0x00, "PIT_MR", AccessKind::ReadWrite).resets_to(0x000FFFFF).field(mr_).on_write(...);
//   regs_.add(0x08, "PIT_PIVR", AccessKind::ReadOnly).value(...).on_read(...);
//   regs_.add(0x40, "PIO_IER", AccessKind::WriteOneToSet).acts_on(imr_);
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "board/device.h"
#include "board/log.h"
#include "board/state.h"

namespace board {

enum class AccessKind : uint8_t {
    ReadOnly,
    WriteOnly,
    ReadWrite,
    WriteOneToSet,     // write-only: each 1 sets that bit of the register it acts on
    WriteOneToClear,   // write-only: each 1 clears that bit of the register it acts on
    Keyed,             // write-only, and a write needs the key in bits 31..24
    KeyedReadWrite,    // a keyed register that also reads back (the key reads 0)
};

const char *access_name(AccessKind a);
constexpr bool readable(AccessKind a) { return a == AccessKind::ReadOnly || a == AccessKind::ReadWrite || a == AccessKind::KeyedReadWrite; }
constexpr bool writable(AccessKind a) { return a != AccessKind::ReadOnly; }
constexpr bool keyed(AccessKind a) { return a == AccessKind::Keyed || a == AccessKind::KeyedReadWrite; }

struct Register {
    uint32_t offset = 0;
    std::string name;
    AccessKind access = AccessKind::ReadWrite;
    uint32_t reset = 0;
    uint32_t *storage = nullptr;  // owned field: reset, plain reads, plain writes
    uint32_t *target = nullptr;   // what a write-one-to-set or -clear register acts on
    uint32_t mask = 0xFFFFFFFF;   // bits a plain write stores, sets or clears
    uint32_t key = 0;             // keyed: bits 31..24 a write must hold
    std::function<uint32_t()> compute;        // side-effect-free value
    std::function<uint32_t()> read_hook;      // a read that changes the model
    std::function<void(uint32_t)> write_hook; // replaces the plain write
    std::function<void(uint32_t)> bad_key;    // replaces the logged refusal of a wrong key
    std::function<void()> follow_up;          // after every accepted write
    // The model's own member for the whole write of a register stored to
    // all the time (a port's set and clear registers): it does what the
    // declaration above says, by a plain call.
    void (*direct)(void *model, uint32_t value) = nullptr;
    void *direct_model = nullptr;

    bool read_has_side_effects() const { return static_cast<bool>(read_hook); }

    // Chained declaration.
    Register &resets_to(uint32_t v) { reset = v; return *this; }
    Register &field(uint32_t &f, uint32_t write_mask = 0xFFFFFFFF) { storage = &f; mask = write_mask; return *this; }
    Register &acts_on(uint32_t &t, uint32_t write_mask = 0xFFFFFFFF) { target = &t; mask = write_mask; return *this; }
    Register &with_key(uint8_t k) { key = static_cast<uint32_t>(k) << 24; return *this; }
    Register &value(std::function<uint32_t()> f) { compute = std::move(f); return *this; }
    Register &on_read(std::function<uint32_t()> f) { read_hook = std::move(f); return *this; }
    Register &on_write(std::function<void(uint32_t)> f) { write_hook = std::move(f); return *this; }
    Register &on_bad_key(std::function<void(uint32_t)> f) { bad_key = std::move(f); return *this; }
    Register &then(std::function<void()> f) { follow_up = std::move(f); return *this; }
    template <auto Member, class Model>
    Register &directly(Model &m)
    {
        if (!writable(access) || keyed(access))
            throw std::logic_error(name + ": a direct write would pass its refusals by");
        direct_model = &m;
        direct = [](void *model, uint32_t v) { (static_cast<Model *>(model)->*Member)(v); };
        return *this;
    }
};

class RegisterMap {
public:
    // source: the name the log gives this model's messages ("PIT", "PIOA").
    RegisterMap(Log &log, std::string source) : log_(log), source_(std::move(source)) {}
    RegisterMap(const RegisterMap &) = delete;
    RegisterMap &operator=(const RegisterMap &) = delete;

    Register &add(uint32_t offset, std::string name, AccessKind access);
    // The declaration at offset, for a block that adds to what a part of it
    // declared (the memory controller after its flash controller).
    Register &at(uint32_t offset);

    uint32_t read(uint32_t offset)
    {
        const Register *r = find(offset);
        if (!r || !readable(r->access)) [[unlikely]] {
            bad_read(offset, r);
            return 0;
        }
        if (r->read_hook)
            return r->read_hook();
        return r->compute ? r->compute() : *r->storage;
    }
    void write(uint32_t offset, uint32_t value)
    {
        const Register *r = find(offset);
        if (!r) [[unlikely]] {
            bad_write(offset, value, r);
            return;
        }
        write(*r, value);
    }
    // A write of the register at register_at(its offset). Inline: every
    // store the core makes to a register comes this way.
    void write(const Register &r, uint32_t value)
    {
        if (r.direct) [[likely]]
            return r.direct(r.direct_model, value);
        write_as_declared(r, value);
    }
    // The same by the declaration alone, past a direct member: what that
    // member must do. Out of line, so that a store to a direct register
    // keeps no frame for it.
    [[gnu::noinline]] void write_as_declared(const Register &r, uint32_t value) const
    {
        if ((!writable(r.access) || keyed(r.access)) && !accepts(r, value)) [[unlikely]]
            return;
        if (r.write_hook) {
            r.write_hook(value);
        } else {
            switch (r.access) {
            case AccessKind::WriteOneToSet: *r.target |= value & r.mask; break;
            case AccessKind::WriteOneToClear: *r.target &= ~(value & r.mask); break;
            default: *r.storage = value & r.mask; break;
            }
        }
        if (r.follow_up)
            r.follow_up();
    }
    // The declaration at `offset`, or nullptr. Declarations are made while
    // the model is built and never move afterwards.
    const Register *register_at(uint32_t offset) const { return find(offset); }
    uint32_t peek(uint32_t offset) const;
    const char *name(uint32_t offset) const
    {
        const Register *r = find(offset);
        return r ? r->name.c_str() : nullptr;
    }
    // Every owned field to its reset value; or only those of the registers
    // in [from, to) (a block whose software reset spares a part of it).
    void reset(uint32_t from = 0, uint32_t to = 0xFFFFFFFF);

    const std::vector<Register> &registers() const { return regs_; }
    const std::string &source() const { return source_; }

private:
    const Register *find(uint32_t offset) const
    {
        uint32_t i = offset / 4;
        if (offset % 4 || i >= index_.size() || index_[i] == 0)
            return nullptr;
        return &regs_[index_[i] - 1];
    }
    // Whether a write of a read-only or keyed register goes ahead (the
    // refusals are logged, a wrong key's own action taken).
    [[gnu::cold]] bool accepts(const Register &r, uint32_t value) const;
    [[gnu::cold]] void bad_read(uint32_t offset, const Register *r);
    [[gnu::cold]] void bad_write(uint32_t offset, uint32_t value, const Register *r) const;

    Log &log_;
    std::string source_;
    std::vector<Register> regs_;
    std::vector<uint16_t> index_;   // offset / 4 -> 1 + index into regs_, 0: none
};

// A peripheral model whose registers are a RegisterMap: the bus's view of it
// follows from the declarations. Its state (state.h) is declared under the
// same name, registers first; its reset is state_.reset() and whatever
// follows from the time it happens at and from the wires. What a model does
// after every write of any register is its after_every_write(), so that a
// write the bus hands straight to a register (mapped()) does it too.
class MappedDevice : public Device {
public:
    uint32_t read(uint32_t offset) override { return regs_.read(offset); }
    void write(uint32_t offset, uint32_t value) final
    {
        regs_.write(offset, value);
        if (after_write_) [[unlikely]]
            after_write_();
    }
    // A write of the register `r` of this model (from registers()).
    void write(const Register &r, uint32_t value)
    {
        regs_.write(r, value);
        if (after_write_) [[unlikely]]
            after_write_();
    }
    MappedDevice *mapped() final { return this; }
    uint32_t peek(uint32_t offset) const override { return regs_.peek(offset); }
    const char *register_name(uint32_t offset) const override { return regs_.name(offset); }
    const RegisterMap &registers() const { return regs_; }
    State &state() { return state_; }

protected:
    MappedDevice(Log &log, std::string source) : regs_(log, source), state_(std::move(source)) {}
    void after_every_write(std::function<void()> f) { after_write_ = std::move(f); }
    RegisterMap regs_;
    State state_;

private:
    std::function<void()> after_write_;
};

}  // namespace board
