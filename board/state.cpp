#include "board/state.h"

#include "board/register_map.h"

namespace board {

void StateWriter::u32(uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        data_.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void StateWriter::u64(uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        data_.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void StateWriter::bytes(const void *p, size_t n)
{
    const auto *b = static_cast<const uint8_t *>(p);
    if (n >= kBlockBytes)
        blocks_.push_back({data_.size(), n});
    data_.insert(data_.end(), b, b + n);
}

void StateWriter::text(std::string_view s)
{
    u32(static_cast<uint32_t>(s.size()));
    bytes(s.data(), s.size());
}

StateReader::StateReader(const uint8_t *data, size_t size, std::string what) : data_(data), size_(size), what_(std::move(what)) {}

void StateReader::fail(const std::string &why) const
{
    throw SnapshotError(what_ + ": " + why);
}

const uint8_t *StateReader::take(size_t n)
{
    if (n > left())
        fail("cut short (" + std::to_string(n) + " bytes wanted at offset " + std::to_string(at_) + ", " + std::to_string(left()) + " left)");
    const uint8_t *p = data_ + at_;
    at_ += n;
    return p;
}

uint8_t StateReader::u8()
{
    return *take(1);
}

uint32_t StateReader::u32()
{
    const uint8_t *p = take(4);
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= static_cast<uint32_t>(p[i]) << (8 * i);
    return v;
}

uint64_t StateReader::u64()
{
    const uint8_t *p = take(8);
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i)
        v |= static_cast<uint64_t>(p[i]) << (8 * i);
    return v;
}

void StateReader::bytes(void *p, size_t n)
{
    if (n)
        std::memcpy(p, take(n), n);
}

std::string StateReader::text()
{
    uint32_t n = u32();
    const uint8_t *p = take(n);
    return std::string(reinterpret_cast<const char *>(p), n);
}

void State::add(const char *name, std::function<void(StateWriter &)> save, std::function<void(StateReader &)> restore,
                std::function<void()> reset, uint32_t size)
{
    entries_.push_back(Entry{name, std::move(save), std::move(restore), std::move(reset), size, nullptr, nullptr});
}

State &State::field(const char *name, std::string &s, std::string reset_value)
{
    add(name, [&s](StateWriter &w) { w.text(s); }, [&s](StateReader &r) { s = r.text(); },
        [&s, reset_value] { s = reset_value; }, 0);
    return *this;
}

State &State::registers(RegisterMap &map, uint32_t from, uint32_t to)
{
    auto owned = [from, to](const Register &reg) { return reg.storage && reg.offset >= from && reg.offset < to; };
    add("registers",
        [&map, owned](StateWriter &w) {
            for (const Register &reg : map.registers())
                if (owned(reg))
                    w.u32(*reg.storage);
        },
        [&map, owned](StateReader &r) {
            for (const Register &reg : map.registers())
                if (owned(reg))
                    *reg.storage = r.u32();
        },
        [&map, from, to] { map.reset(from, to); }, 0);
    return *this;
}

State &State::event(Clock &clock, Clock::EventId &id, const char *owner, std::initializer_list<EventKind> kinds)
{
    std::vector<EventKind> known(kinds);
    add("event",
        [&clock, &id](StateWriter &w) {
            auto e = clock.find(id);
            if (!e) {
                w.u8(0);
                return;
            }
            w.u8(1);
            w.u64(e->when);
            w.u64(e->id);
            w.text(e->name.what ? e->name.what : "");
        },
        [&clock, &id, owner, known, this](StateReader &r) {
            id = 0;
            if (!r.u8())
                return;
            Picos when = r.u64();
            Clock::EventId saved = r.u64();
            std::string what = r.text();
            for (const EventKind &k : known)
                if (what == k.what) {
                    id = clock.restore_event(saved, when, EventName{owner, k.what}, k.action);
                    return;
                }
            r.fail(part_ + ": no event \"" + what + "\" to restore");
        },
        [&clock, &id] {
            clock.cancel(id);
            id = 0;
        },
        0);
    entries_.back().save_comparable = [&clock, &id](StateWriter &w) {
        auto e = clock.find(id);
        w.u8(e.has_value());
        if (e) {
            w.u64(e->when);
            w.text(e->name.what ? e->name.what : "");
        }
    };
    return *this;
}

State &State::part(State &sub, std::function<void()> reset)
{
    if (!reset)
        reset = [&sub] { sub.reset(); };
    add(sub.name().c_str(), [&sub](StateWriter &w) { sub.save(w); }, [&sub](StateReader &r) { sub.restore(r); },
        std::move(reset), 0);
    entries_.back().sub = &sub;
    return *this;
}

State &State::custom(const char *name, std::function<void(StateWriter &)> save, std::function<void(StateReader &)> restore,
                     std::function<void()> reset)
{
    add(name, std::move(save), std::move(restore), std::move(reset), 0);
    return *this;
}

void State::save(StateWriter &w) const
{
    w.text(part_);
    w.u32(static_cast<uint32_t>(entries_.size()));
    for (const Entry &e : entries_) {
        w.text(e.name);
        w.u32(e.size);
        e.save(w);
    }
}

void State::save_reset_values(StateWriter &w) const
{
    w.text(part_);
    for (const Entry &e : entries_) {
        if (!e.reset)
            continue;
        w.text(e.name);
        if (e.sub)
            e.sub->save_reset_values(w);
        else if (e.save_comparable)
            e.save_comparable(w);
        else
            e.save(w);
    }
}

void State::restore(StateReader &r)
{
    std::string part = r.text();
    if (part != part_)
        r.fail("expected the state of " + part_ + ", found " + part);
    uint32_t n = r.u32();
    if (n != entries_.size())
        r.fail(part_ + ": " + std::to_string(n) + " values saved, " + std::to_string(entries_.size()) + " declared");
    for (Entry &e : entries_) {
        std::string name = r.text();
        uint32_t size = r.u32();
        if (name != e.name || size != e.size)
            r.fail(part_ + ": expected \"" + e.name + "\" (" + std::to_string(e.size) + " bytes), found \"" + name + "\" (" +
                   std::to_string(size) + " bytes)");
        e.restore(r);
    }
}

std::string State::layout() const
{
    std::string out = part_ + "{";
    for (const Entry &e : entries_)
        out += (e.sub ? e.sub->layout() : e.name + ":" + std::to_string(e.size)) + ",";
    return out + "}";
}

void State::reset()
{
    for (Entry &e : entries_)
        if (e.reset)
            e.reset();
}

}  // namespace board
