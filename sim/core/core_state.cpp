// The core's declared state (see Arm7tdmi::state()).
#include "sim/core/core_state.h"

#include "board/state.h"
#include "sim/core/delay_loop.h"

namespace sim::core {

namespace {

constexpr uint32_t kNoMemory = 0xFFFFFFFF;

// A read buffer names its words by host address: saved as the memory
// (decoded-code cache) holding it and the offset in it. The word read
// ahead may be the one just past a memory's end.
void save_key(const Cpu &c, board::StateWriter &w, uintptr_t key)
{
    if (key != ReadBuffer::kNone)
        for (bool past_end : {false, true})
            for (size_t i = 0; i < c.caches.size(); ++i) {
                auto host = reinterpret_cast<uintptr_t>(c.caches[i]->host);
                if (key >= host && (key < host + c.caches[i]->size || (past_end && key == host + c.caches[i]->size))) {
                    w.u32(static_cast<uint32_t>(i));
                    w.u32(static_cast<uint32_t>(key - host));
                    return;
                }
            }
    w.u32(kNoMemory);
    w.u32(0);
}

uintptr_t restore_key(const Cpu &c, board::StateReader &r)
{
    uint32_t memory = r.u32(), offset = r.u32();
    if (memory == kNoMemory) return ReadBuffer::kNone;
    if (memory >= c.caches.size() || offset > c.caches[memory]->size) r.fail("core: a read buffer outside every memory");
    return reinterpret_cast<uintptr_t>(c.caches[memory]->host) + offset;
}

// A register bank: saved whole, cleared by reset.
template <class T, size_t N>
void bank(board::State &s, const char *name, T (&a)[N])
{
    s.custom(
        name, [&a](board::StateWriter &w) { w.bytes(a, sizeof a); }, [&a](board::StateReader &r) { r.bytes(a, sizeof a); },
        [&a] { std::memset(a, 0, sizeof a); });
}

}  // namespace

void declare_state(Cpu &c, board::State &s)
{
    bank(s, "r", c.r);
    bank(s, "r13 banks", c.bank_r13);
    bank(s, "r14 banks", c.bank_r14);
    bank(s, "spsr banks", c.bank_spsr);
    bank(s, "user r8-r12", c.user_r8_12);
    bank(s, "fiq r8-r12", c.fiq_r8_12);
    bank(s, "exceptions", c.exceptions);
    s.field_via<uint32_t>(
         "cpsr", [&c] { return c.cpsr(); }, [&c](uint32_t v) { c.load_cpsr(v); },
         static_cast<uint32_t>(Mode::Supervisor) | kCpsrI | kCpsrF)
        .field("cycles", c.cycles)
        .field("instructions", c.instructions)
        .field("exceptions total", c.exceptions_total)
        .field("deferred exception", c.deferred, -1)
        // Held apart from the cache: fetched before a store rewrote them.
        .field("pipeline address", c.pipeline.address)
        .field("pipeline word 0", c.pipeline.raw[0])
        .field("pipeline word 1", c.pipeline.raw[1])
        .field("pipeline count", c.pipeline.count)
        .field("pipeline thumb", c.pipeline.thumb)
        .custom(
            "read buffers",
            [&c](board::StateWriter &w) {
                const uintptr_t key = c.buffer_key();
                save_key(c, w, ReadBuffer::held_of(key));
                save_key(c, w, ReadBuffer::ahead_of(key));
                w.u64(c.read_buffer.ahead_ready);
            },
            [&c](board::StateReader &r) {
                const uintptr_t held = restore_key(c, r), ahead = restore_key(c, r);
                // Only the word after the one held is ever read ahead.
                if (held == ReadBuffer::kNone ? ahead != ReadBuffer::kNone
                                              : (held & 3) || (ahead != ReadBuffer::kNone && ahead != held + 4))
                    r.fail("core: read buffers in no state they can be in");
                c.set_buffer_key(held == ReadBuffer::kNone ? ReadBuffer::kEmpty
                                 : ahead == ReadBuffer::kNone ? held + 2
                                                              : ahead);
                c.read_buffer.ahead_ready = r.u64();
            },
            [&c] {
                c.clear_read_buffers();
                c.read_buffer.ahead_ready = 0;
            })
        // What the core's reset leaves alone: the lines into it, the debug
        // logic's channel, and what it knows of the code.
        .kept("nIRQ", c.irq_line)
        .kept("nFIQ", c.fiq_line)
        .kept("stop asked", c.stop_requested)
        .custom(
            "debug channel",
            [&c](board::StateWriter &w) {
                DebugChannel::Saved d = c.debug_channel.saved();
                w.u32(d.to_core);
                w.u32(d.from_core);
                w.u32(d.flags);
            },
            [&c](board::StateReader &r) {
                DebugChannel::Saved d;
                d.to_core = r.u32();
                d.from_core = r.u32();
                d.flags = r.u32();
                c.debug_channel.restore(d);
            },
            nullptr)
        .kept("code generation", c.code_generation)
        .custom(
            "code pages",
            [&c](board::StateWriter &w) {
                w.u32(static_cast<uint32_t>(c.caches.size()));
                for (const auto &cc : c.caches) {
                    w.u32(cc->size);
                    w.bytes(cc->page_has_code.data(), cc->page_has_code.size());
                }
            },
            [&c](board::StateReader &r) {
                // Decoded code is dropped, not restored; which pages held
                // code stays known, for the stores that meet them.
                if (r.u32() != c.caches.size()) r.fail("core: saved with other memories");
                for (auto &cc : c.caches) {
                    if (r.u32() != cc->size) r.fail("core: saved with other memories");
                    r.bytes(cc->page_has_code.data(), cc->page_has_code.size());
                    cc->arm.zero();
                    cc->thumb.zero();
                    cc->forget_all_runs();
                }
                c.code_base = 1;
                c.code_size = 0;
                c.code_moved = true;
                c.code_cache = nullptr;
                c.code_arm = c.code_thumb = nullptr;
                c.runs_arm = c.runs_thumb = nullptr;
            },
            nullptr)
        .custom("loops", [&c](board::StateWriter &w) { save_loops(c, w); }, [&c](board::StateReader &r) {
                    restore_loops(c, r);
                    c.update_attention();
                },
                nullptr);
}

}  // namespace sim::core
