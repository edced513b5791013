#include "board/pmc.h"


namespace board {

namespace {
enum : uint32_t { CSS_SLOW = 0, CSS_MAIN = 1, CSS_PLL = 3 };

uint32_t css_of(uint32_t mckr)
{
    uint32_t css = mckr & 3;
    return css == 2 ? CSS_SLOW : css;
}

unsigned pres_shift(uint32_t mckr)
{
    unsigned pres = (mckr >> 2) & 7;
    return pres == 7 ? 6 : pres;
}

const char kLimits[] = "AT91SAM7S electrical characteristics";
const Rule kPllInputMin{"PMC", "PLL input (main clock / DIV), minimum", Rule::AtLeast, 1, "MHz", kLimits};
const Rule kPllInputMax{"PMC", "PLL input (main clock / DIV), maximum", Rule::AtMost, 32, "MHz", kLimits};
const Rule kPllOut0Min{"PMC", "PLL output with OUT = 0, minimum", Rule::AtLeast, 80, "MHz", kLimits};
const Rule kPllOut0Max{"PMC", "PLL output with OUT = 0, maximum", Rule::AtMost, 160, "MHz", kLimits};
const Rule kPllOut2Min{"PMC", "PLL output with OUT = 2, minimum", Rule::AtLeast, 150, "MHz", kLimits};
const Rule kPllOut2Max{"PMC", "PLL output with OUT = 2, maximum", Rule::AtMost, 180, "MHz", kLimits};
const Rule kMasterMax{"PMC", "master clock", Rule::AtMost, 55, "MHz", kLimits};

Picos slow_cycles(uint64_t n)
{
    return static_cast<Picos>(n * kSlowClockPeriodFs / 1000);
}
}  // namespace

Pmc::Pmc(Clock &clock, Log &log, uint32_t crystal_hz) : MappedDevice(log, "PMC"), clock_(clock), log_(log), crystal_hz_(crystal_hz)
{
    // Any write may change PMC_SR or PMC_IMR.
    after_every_write([this] { update_irq(); });
    // No register of the PMC changes when read.
    regs_.add(SCER, "PMC_SCER", AccessKind::WriteOneToSet).acts_on(scsr_, kScMask);
    regs_.add(SCDR, "PMC_SCDR", AccessKind::WriteOneToClear).acts_on(scsr_, kScMask & ~1u).on_write([this](uint32_t v) {
        if (v & 1)
            log_.warn("PMC", "processor clock disabled (idle until an interrupt): not modelled, the processor keeps running");
        scsr_ &= ~(v & kScMask & ~1u);
    });
    regs_.add(SCSR, "PMC_SCSR", AccessKind::ReadOnly).resets_to(0x1).field(scsr_);
    regs_.add(PCER, "PMC_PCER", AccessKind::WriteOneToSet).acts_on(pcsr_, ~3u).on_write([this](uint32_t v) { set_pcsr(pcsr_ | (v & ~3u)); });
    regs_.add(PCDR, "PMC_PCDR", AccessKind::WriteOneToClear).acts_on(pcsr_, ~3u).on_write([this](uint32_t v) { set_pcsr(pcsr_ & ~(v & ~3u)); });
    regs_.add(PCSR, "PMC_PCSR", AccessKind::ReadOnly).field(pcsr_);
    regs_.add(MOR, "PMC_MOR", AccessKind::ReadWrite).field(mor_, kMorMask).on_write([this](uint32_t v) { set_oscillator(v & kMorMask); });
    regs_.add(MCFR, "PMC_MCFR", AccessKind::ReadOnly).value([this] { return mcfr(); });
    regs_.add(PLLR, "PMC_PLLR", AccessKind::ReadWrite).resets_to(0x3F00).field(pllr_, kPllrMask).on_write([this](uint32_t v) { write_pllr(v); });
    regs_.add(MCKR, "PMC_MCKR", AccessKind::ReadWrite).field(mckr_, kMckrMask).on_write([this](uint32_t v) { request_master(v & kMckrMask); });
    for (unsigned n = 0; n < 3; ++n)
        regs_.add(PCK0 + 4 * n, "PMC_PCK" + std::to_string(n), AccessKind::ReadWrite).field(pck_[n], kPckMask);
    regs_.add(IER, "PMC_IER", AccessKind::WriteOneToSet).acts_on(imr_, kSrMask);
    regs_.add(IDR, "PMC_IDR", AccessKind::WriteOneToClear).acts_on(imr_);
    // A programmable clock is ready as soon as it is enabled.
    regs_.add(SR, "PMC_SR", AccessKind::ReadOnly).resets_to(MCKRDY).field(sr_).value([this] { return sr_ | (scsr_ & 0x700); });
    regs_.add(IMR, "PMC_IMR", AccessKind::ReadOnly).field(imr_);
    // The crystal is the board's, not the chip's: a reset keeps it.
    state_.registers(regs_)
        .field("MAINRDY", mainrdy_)
        .field("PLL waits for the oscillator", pll_waiting_for_osc_)
        .field("active MCKR", active_mckr_)
        .field("applied master clock", applied_)
        .field("switch waiting", switch_waiting_)
        .kept("crystal", crystal_hz_)
        .kept("irq", irq_.saved_level())
        .event(clock_, osc_event_, "PMC", {{"oscillator stable", [this] { oscillator_started(); }}})
        .event(clock_, mainf_event_, "PMC", {{"main clock measured", [this] { main_clock_measured(); }}})
        .event(clock_, lock_event_, "PMC", {{"PLL lock", [this] { pll_locked(); }}})
        .event(clock_, mck_event_, "PMC", {{"master clock ready", [this] { master_clock_ready(); }}});
    reset();
}

Pmc::~Pmc()
{
    cancel(osc_event_);
    cancel(mainf_event_);
    cancel(lock_event_);
    cancel(mck_event_);
}

void Pmc::oscillator_started()
{
    osc_event_ = 0;
    on_oscillator_stable();
    update_irq();
}

void Pmc::main_clock_measured()
{
    mainf_event_ = 0;
    mainrdy_ = true;
}

void Pmc::pll_locked()
{
    lock_event_ = 0;
    on_pll_lock();
    update_irq();
}

void Pmc::master_clock_ready()
{
    mck_event_ = 0;
    switch_waiting_ = false;
    active_mckr_ = mckr_;
    sr_ |= MCKRDY;
    apply_master();
    update_irq();
}

void Pmc::cancel(Clock::EventId &id)
{
    if (id)
        clock_.cancel(id);
    id = 0;
}

void Pmc::reset()
{
    set_pcsr(0);   // tells the peripherals their clocks stop
    state_.reset();
    apply_master();
    update_irq();
}

uint32_t Pmc::mcfr() const
{
    if (!mainrdy_)
        return 0;
    uint64_t mainf = static_cast<uint64_t>(crystal_hz_) * kMainfSlowCycles / kSlowClockHz;
    return kMainrdy | static_cast<uint32_t>(mainf & 0xFFFF);
}

void Pmc::write_pllr(uint32_t v)
{
    pllr_ = v & kPllrMask;
    cancel(lock_event_);
    sr_ &= ~LOCK;
    pll_waiting_for_osc_ = false;
    source_lost(1u << CSS_PLL, "PLL reprogrammed");
    if (!pll_configured())
        return;
    check_pll_limits();
    if (oscillator_stable())
        start_pll_count();
    else
        pll_waiting_for_osc_ = true;
}

bool Pmc::oscillator_stable() const
{
    return (sr_ & MOSCS) != 0;
}

bool Pmc::pll_configured() const
{
    uint32_t div = pllr_ & 0xFF;
    uint32_t mul = (pllr_ >> 16) & 0x7FF;
    return div != 0 && mul != 0;
}

void Pmc::set_oscillator(uint32_t mor)
{
    uint32_t old = mor_;
    mor_ = mor;
    bool was_on = (old & (MOSCEN | OSCBYPASS)) != 0;
    bool on = (mor & (MOSCEN | OSCBYPASS)) != 0;
    bool bypass = (mor & OSCBYPASS) != 0;
    if (!on) {
        if (!was_on)
            return;
        cancel(osc_event_);
        cancel(mainf_event_);
        cancel(lock_event_);
        bool pll_was_running = pll_configured() && (oscillator_stable() || pll_waiting_for_osc_);
        sr_ &= ~(MOSCS | LOCK);
        mainrdy_ = false;
        // The PLL locks again once it has its input back.
        pll_waiting_for_osc_ = pll_was_running;
        source_lost((1u << CSS_MAIN) | (1u << CSS_PLL), "main oscillator disabled");
        return;
    }
    if (oscillator_stable() || osc_event_)
        return;   // already running or starting: the start-up count is not restarted
    if (bypass) {
        on_oscillator_stable();
        return;
    }
    uint64_t oscount = (mor >> 8) & 0xFF;
    osc_event_ = clock_.schedule_in({"PMC", "oscillator stable"}, slow_cycles(oscount * 8), [this] { oscillator_started(); });
}

void Pmc::on_oscillator_stable()
{
    sr_ |= MOSCS;
    mainf_event_ = clock_.schedule_in({"PMC", "main clock measured"}, slow_cycles(kMainfSlowCycles), [this] { main_clock_measured(); });
    if (pll_waiting_for_osc_)
        start_pll_count();
    if (css_of(active_mckr_) == CSS_MAIN)
        apply_master();
    try_master_switch();
}

void Pmc::start_pll_count()
{
    pll_waiting_for_osc_ = false;
    uint64_t pllcount = (pllr_ >> 8) & 0x3F;
    lock_event_ = clock_.schedule_in({"PMC", "PLL lock"}, slow_cycles(pllcount), [this] { pll_locked(); });
}

void Pmc::on_pll_lock()
{
    sr_ |= LOCK;
    if (css_of(active_mckr_) == CSS_PLL)
        apply_master();
    try_master_switch();
}

Pmc::Rate Pmc::source_rate(uint32_t css) const
{
    switch (css) {
    case CSS_MAIN:
        if (!oscillator_stable())
            return {};
        return {crystal_hz_, 1};
    case CSS_PLL:
        if (!(sr_ & LOCK) || !oscillator_stable())
            return {};
        return {static_cast<uint64_t>(crystal_hz_) * (((pllr_ >> 16) & 0x7FF) + 1), pllr_ & 0xFF};
    default:
        return {kSlowClockHz, 1};
    }
}

Pmc::Rate Pmc::master_rate(uint32_t mckr) const
{
    Rate r = source_rate(css_of(mckr));
    r.den <<= pres_shift(mckr);
    return r;
}

double Pmc::master_hz() const
{
    return applied_.hz();
}

double Pmc::pll_hz() const
{
    return source_rate(CSS_PLL).hz();
}

void Pmc::request_master(uint32_t mckr)
{
    if (mck_event_ || switch_waiting_)
        log_.warn("PMC", "PMC_MCKR written while the previous change is not complete");
    cancel(mck_event_);
    mckr_ = mckr;
    sr_ &= ~MCKRDY;
    switch_waiting_ = true;
    if (!master_rate(mckr).running())
        log_.warn("PMC", "PMC_MCKR selects " + std::string(css_of(mckr) == CSS_PLL ? "the PLL" : "the main oscillator") +
                             ", which is not running: the master clock stays as it is and MCKRDY stays 0 until it runs");
    try_master_switch();
}

void Pmc::try_master_switch()
{
    if (!switch_waiting_ || mck_event_)
        return;
    Rate next = master_rate(mckr_);
    if (!next.running())
        return;
    // Two cycles of the slower of the old and the new master clock.
    const Rate &old = applied_;
    bool old_slower = static_cast<unsigned __int128>(old.num) * next.den <
                      static_cast<unsigned __int128>(next.num) * old.den;
    const Rate &slower = old_slower ? old : next;
    Picos delay = static_cast<Picos>(static_cast<unsigned __int128>(kMckrdySlowerCycles) * kPicosPerSecond *
                                     slower.den / slower.num);
    mck_event_ = clock_.schedule_in({"PMC", "master clock ready"}, delay, [this] { master_clock_ready(); });
}

void Pmc::apply_master()
{
    Rate r = master_rate(active_mckr_);
    if (!r.running())
        return;
    applied_ = r;
    unsigned __int128 fs = static_cast<unsigned __int128>(1000) * kPicosPerSecond * r.den;
    clock_.set_master_period_fs(static_cast<uint64_t>((fs + r.num / 2) / r.num));
    log_.rules.check(kMasterMax, r.hz() / 1e6);
    for (auto &l : master_listeners_)
        l(r.hz());
}

void Pmc::check_pll_limits()
{
    double div = pllr_ & 0xFF;
    double mul = (pllr_ >> 16) & 0x7FF;
    double input = crystal_hz_ / div / 1e6;
    double output = input * (mul + 1);
    log_.rules.check(kPllInputMin, input);
    log_.rules.check(kPllInputMax, input);
    switch ((pllr_ >> 14) & 3) {
    case 0:
        log_.rules.check(kPllOut0Min, output);
        log_.rules.check(kPllOut0Max, output);
        break;
    case 2:
        log_.rules.check(kPllOut2Min, output);
        log_.rules.check(kPllOut2Max, output);
        break;
    default:
        log_.warn("PMC", "CKGR_PLLR.OUT = " + std::to_string((pllr_ >> 14) & 3) + " is reserved");
        break;
    }
}

void Pmc::source_lost(uint32_t css_mask, const char *what)
{
    if (!((css_mask >> css_of(active_mckr_)) & 1u))
        return;
    log_.warn("PMC", std::string(what) + " while it clocks the master clock: the board keeps running at " +
                         std::to_string(applied_.hz()) + " Hz");
}

void Pmc::set_crystal_hz(uint32_t hz)
{
    crystal_hz_ = hz;
    if (pll_configured())
        check_pll_limits();
    uint32_t css = css_of(active_mckr_);
    if (css == CSS_MAIN || css == CSS_PLL)
        apply_master();
}

void Pmc::set_pcsr(uint32_t pcsr)
{
    bool changed = pcsr != pcsr_;
    pcsr_ = pcsr;
    if (changed)
        for (auto &l : peripheral_clock_listeners_)
            l(pcsr);
}

}  // namespace board
