#include "sim/core/jit/compiled_runs.h"
#include "sim/core/jit/run_emitter.h"

#include <sys/mman.h>

namespace sim::core::jit {

namespace {

// Room for the host code of a Cpu: a run takes some hundreds of bytes, and
// pages never written cost nothing.
constexpr size_t kArenaBytes = size_t{32} << 20;

// Tries to make the code in the room left; null where it does not fit.
const uint8_t *make(Cpu &c, Decoded *d, unsigned length)
{
    Arena &a = *c.arena;
    const bool thumb = c.control & kCpsrT;
    const unsigned step = thumb ? 2 : 4;
    try {
        RunEmitter e(c, a.next(), a.room(), thumb);
        e.begin();
        // Which flags each instruction's successors may read: all after
        // the last one.
        uint8_t live[128];
        live[length - 1] = RunEmitter::kAllFlags;
        for (unsigned i = length - 1; i > 0; --i) {
            const FlagUse u = thumb ? thumb_flag_use(c, d[i], c.r[15] + i * step) : FlagUse{RunEmitter::kAllFlags, 0};
            live[i - 1] = static_cast<uint8_t>((live[i] & ~u.writes) | u.reads);
        }
        for (unsigned i = 0; i < length; ++i) {
            const uint32_t pc = c.r[15] + i * step;
            e.set_live(live[i]);
            if (thumb)
                emit_thumb(e, d[i], pc, i + 1 == length);
            else
                emit_arm(e, d[i], pc, i + 1 == length);
        }
        const uint8_t *code = e.finish();
        a.take(e.getSize());
        return code;
    } catch (const Xbyak::Error &) {
        return nullptr;
    }
}

}  // namespace

Arena::Arena()
{
    void *p = ::mmap(nullptr, kArenaBytes, PROT_READ | PROT_WRITE | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return;
    base_ = static_cast<uint8_t *>(p);
    size_ = kArenaBytes;
}

Arena::~Arena()
{
    if (base_) ::munmap(base_, size_);
}

uintptr_t compile(Cpu &c, Decoded *d, unsigned length)
{
    if (!c.arena) c.arena = std::make_shared<Arena>();
    if (!c.arena->usable()) return kNever;
    const uint8_t *code = make(c, d, length);
    if (!code) {
        // Full: everything made so far goes, and the run is made first.
        for (auto &cc : c.caches) cc->forget_all_runs();
        c.arena->empty();
        code = make(c, d, length);
    }
    return code ? reinterpret_cast<uintptr_t>(code) : kNever;
}

}  // namespace sim::core::jit
