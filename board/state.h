// A part's state, declared once: every value that changes as the board runs
// and that the part's future depends on. The declarations give both the
// snapshot (save, restore) and the power-on reset, so a value cannot be
// saved and forgotten by reset, or the other way round.
//
// A part declares its state in its constructor, next to its registers:
//
//   state_.registers(regs_)                      // every field a register owns
//         .field("count", count_)                // plain value; resets to {}
//         .field("anchor", anchor_, Picos{0})    // ... or to the value given
//         .kept("cells", cells_)                 // saved, but outlives reset
//         .event(clock_, event_, "PIT", {{"period end", [this] { on_period(); }}});
//
// A field is a trivially copyable value without padding (integers, bools,
// enums, arrays and plain structs of them), a std::string or a std::vector
// of such values. Anything else (a queue, an optional value, a computed
// cache) is declared with custom().
//
// The snapshot stream is self-describing: each field is written with its name
// and size, so a restore that meets another layout fails with a message
// that names the part and the field instead of reading garbage.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "board/clock.h"

namespace board {

class RegisterMap;

// A snapshot that cannot be restored: another version, another image, cut
// short, or not what the parts declare.
struct SnapshotError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Little-endian bytes, whatever the host.
class StateWriter {
public:
    void u8(uint8_t v) { data_.push_back(v); }
    void u32(uint32_t v);
    void u64(uint64_t v);
    void bytes(const void *p, size_t n);
    void text(std::string_view s);
    void reserve(size_t n) { data_.reserve(n); }
    const std::vector<uint8_t> &data() const { return data_; }
    std::vector<uint8_t> take() { return std::move(data_); }

    // Where the memories lie in the stream (every bytes() of at least
    // kBlockBytes), in order: a keeper of many snapshots shares what did not
    // change between them instead of holding each memory again.
    static constexpr size_t kBlockBytes = 16 * 1024;
    struct Span {
        size_t at, size;
    };
    const std::vector<Span> &blocks() const { return blocks_; }

private:
    std::vector<uint8_t> data_;
    std::vector<Span> blocks_;
};

class StateReader {
public:
    // what: how errors name the stream ("snapshot.bin").
    StateReader(const uint8_t *data, size_t size, std::string what = "snapshot");
    explicit StateReader(const std::vector<uint8_t> &data, std::string what = "snapshot")
        : StateReader(data.data(), data.size(), std::move(what)) {}

    uint8_t u8();
    uint32_t u32();
    uint64_t u64();
    void bytes(void *p, size_t n);
    std::string text();
    // The next n bytes, read in place.
    const uint8_t *take(size_t n);
    size_t left() const { return size_ - at_; }
    bool at_end() const { return at_ == size_; }
    [[noreturn]] void fail(const std::string &why) const;

private:
    const uint8_t *data_;
    size_t size_;
    size_t at_ = 0;
    std::string what_;
};

class State {
public:
    // part: the name the snapshot and its errors give this part ("PIT").
    explicit State(std::string part) : part_(std::move(part)) {}
    State(const State &) = delete;
    State &operator=(const State &) = delete;

    // Every byte of a value is saved: a struct with padding would save
    // whatever the padding holds, so it is declared member by member.
    template <class T>
    static constexpr bool kPlain = std::is_trivially_copyable_v<T> &&
                                   (std::has_unique_object_representations_v<T> || std::is_floating_point_v<T>);

    template <class T>
    State &field(const char *name, T &f, T reset_value = T{})
    {
        static_assert(kPlain<T>, "declare a non-trivial value with custom(), a struct with padding member by member");
        add(name, [&f](StateWriter &w) { w.bytes(&f, sizeof f); },
            [&f](StateReader &r) { r.bytes(&f, sizeof f); },
            [&f, reset_value] { std::memcpy(static_cast<void *>(&f), &reset_value, sizeof f); }, sizeof(T));
        return *this;
    }
    State &field(const char *name, std::string &s, std::string reset_value = {});
    // A plain value the part holds in another form (in pieces, say): saved,
    // restored and reset through get and set, with the bytes and layout a
    // field() of it would have.
    template <class T>
    State &field_via(const char *name, std::function<T()> get, std::function<void(T)> set, T reset_value = T{})
    {
        static_assert(kPlain<T>, "declare a non-trivial value with custom()");
        add(name,
            [get](StateWriter &w) {
                const T v = get();
                w.bytes(&v, sizeof v);
            },
            [set](StateReader &r) {
                T v;
                r.bytes(&v, sizeof v);
                set(v);
            },
            [set, reset_value] { set(reset_value); }, sizeof(T));
        return *this;
    }
    template <class T>
    State &field(const char *name, std::vector<T> &v, std::vector<T> reset_value = {})
    {
        add_vector(name, v, [&v, reset_value] { v = reset_value; });
        return *this;
    }
    // Saved and restored, but reset leaves it alone (memory contents, a
    // non-volatile bit, what a device keeps across the chip's reset).
    template <class T>
    State &kept(const char *name, T &f)
    {
        static_assert(kPlain<T>, "declare a non-trivial value with custom(), a struct with padding member by member");
        add(name, [&f](StateWriter &w) { w.bytes(&f, sizeof f); },
            [&f](StateReader &r) { r.bytes(&f, sizeof f); }, nullptr, sizeof(T));
        return *this;
    }
    template <class T>
    State &kept(const char *name, std::vector<T> &v)
    {
        add_vector(name, v, nullptr);
        return *this;
    }

    // Every field the map's registers own, reset to the registers' reset
    // values; or only those at offsets [from, to) (a block that shares its
    // map with a part of it, each declaring its own registers).
    State &registers(RegisterMap &map, uint32_t from = 0, uint32_t to = 0xFFFFFFFF);

    // A pending clock event the part keeps in id. Each kind is what the part
    // schedules under one EventName::what (with the owner given here) and
    // the action it gives the clock; a restore schedules the same action at
    // the same time and in the same order among events due at that time.
    // Reset cancels it.
    struct EventKind {
        const char *what;
        std::function<void()> action;
    };
    State &event(Clock &clock, Clock::EventId &id, const char *owner, std::initializer_list<EventKind> kinds);

    // A part of this part with a state of its own (a PDC in its peripheral).
    // Resetting this part resets the sub-part's declarations, or runs
    // `reset` instead where the sub-part's reset does more (logs, wires).
    State &part(State &sub, std::function<void()> reset = {});

    // Anything the declarations above cannot say. reset may be empty (kept).
    State &custom(const char *name, std::function<void(StateWriter &)> save, std::function<void(StateReader &)> restore,
                  std::function<void()> reset);

    void save(StateWriter &w) const;
    // What save() writes of the values a reset sets, the kept ones left
    // out: a reset part compares equal to one at power-on with it.
    void save_reset_values(StateWriter &w) const;
    void restore(StateReader &r);
    // Every declared value back to its reset value, every event cancelled.
    void reset();

    const std::string &name() const { return part_; }
    // "PIT{registers:0,count:4,...}": the names and sizes of its values, in
    // order, for a fingerprint of a build's snapshot layout.
    std::string layout() const;

private:
    struct Entry {
        std::string name;
        std::function<void(StateWriter &)> save;
        std::function<void(StateReader &)> restore;
        std::function<void()> reset;
        uint32_t size = 0;   // fixed size of a plain field; 0: variable
        State *sub = nullptr;   // a part of this part
        // What save_reset_values() writes instead of save(): a pending
        // event without its id, which another clock numbers otherwise.
        std::function<void(StateWriter &)> save_comparable;
    };
    void add(const char *name, std::function<void(StateWriter &)> save, std::function<void(StateReader &)> restore,
             std::function<void()> reset, uint32_t size);
    template <class T>
    void add_vector(const char *name, std::vector<T> &v, std::function<void()> reset)
    {
        static_assert(kPlain<T>, "declare a vector of non-trivial values with custom()");
        add(name,
            [&v](StateWriter &w) {
                w.u64(v.size());
                w.bytes(v.data(), v.size() * sizeof(T));
            },
            [&v, this](StateReader &r) {
                uint64_t n = r.u64();
                if (n > r.left() / sizeof(T))
                    r.fail(part_ + ": a list longer than what is left");
                v.resize(n);
                r.bytes(v.data(), n * sizeof(T));
            },
            std::move(reset), 0);
    }

    std::string part_;
    std::vector<Entry> entries_;
};

}  // namespace board
