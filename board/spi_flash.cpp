#include "board/spi_flash.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace board {

namespace {
enum : uint8_t {
    WRSR = 0x01, PROGRAM = 0x02, READ = 0x03, WRDI = 0x04, RDSR = 0x05, WREN = 0x06,
    FAST_READ = 0x0B, SECTOR_ERASE = 0x20, EWSR = 0x50, BLOCK_ERASE_32K = 0x52,
    CHIP_ERASE = 0x60, READ_ID = 0x90, JEDEC_ID = 0x9F, AAI_PROGRAM = 0xAD,
    READ_ID_ALT = 0xAB, CHIP_ERASE_ALT = 0xC7, BLOCK_ERASE_64K = 0xD8, EBSY = 0x70, DBSY = 0x80,
};

const char kRating[] = "SST25VF040B: 50 MHz, READ 0x03 25 MHz";
const board::Rule kClock{"serial flash", "SCK frequency", board::Rule::AtMost, 50, "MHz", kRating};
const board::Rule kReadClock{"serial flash", "SCK frequency for READ 0x03", board::Rule::AtMost, 25, "MHz", kRating};

}  // namespace

SpiFlash::SpiFlash(Pins &pins, Clock &clock, Log &log, std::string name, Lines lines)
    : pins_(pins), clock_(clock), log_(log), name_(std::move(name)), lines_(lines),
      source_(pins.add_source(name_)), array_(kSize, 0xFF)
{
    // MOSI is only read at a clock edge.
    pins_.add_listener([this](uint32_t changed, uint32_t levels) { on_lines(changed, levels); },
                       1u << lines_.cs | 1u << lines_.sck);
    // The array is non-volatile, and whether it changed since the file was
    // read is the owner's business: both outlive a reset.
    state_.custom("array", [this](StateWriter &w) { w.bytes(array_.data(), kSize); },
                  [this](StateReader &r) { r.bytes(array_.data(), kSize); }, nullptr)
        .kept("modified", modified_)
        .field("busy", busy_)
        .field("WEL", wel_)
        .field("AAI", aai_)
        .field("busy output", busy_output_)
        .field("EWSR", ewsr_)
        .field("protection", protect_bits_, BP_BITS)
        .field("busy end clears WEL", clear_wel_)
        .field("AAI address", aai_address_)
        .field("selected", selected_)
        .field("ignored", ignored_)
        .field("giving", giving_)
        .field("bit", bit_)
        .field("count", count_)
        .field("in", in_)
        .field("out", out_)
        .field("opcode", opcode_)
        .field("address", addr_)
        .field("read address", read_address_)
        .field("data", data_)
        .field("ID index", id_index_)
        .field("last rise", last_rise_)
        .field("rose", rose_)
        .event(clock_, busy_event_, name_.c_str(), {{"busy end", [this] { busy_end(); }}});
    reset();
}

SpiFlash::~SpiFlash() { clock_.cancel(busy_event_); }

void SpiFlash::reset()
{
    state_.reset();
    pins_.release(source_, 1u << lines_.miso);
    // Powered up with the chip select already low: the part waits for a rise.
    if (!pins_.level(lines_.cs))
        ignored_ = selected_ = true;
}

uint8_t SpiFlash::status() const
{
    return static_cast<uint8_t>((busy_ ? BUSY : 0) | (wel_ ? WEL : 0) | protect_bits_ | (aai_ ? AAI : 0));
}

void SpiFlash::preload(uint32_t address, const std::vector<uint8_t> &bytes)
{
    for (size_t i = 0; i < bytes.size(); ++i)
        array_[(address + i) % kSize] = bytes[i];
}

bool SpiFlash::load(const std::string &path, std::string &error)
{
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    std::vector<uint8_t> data(kSize + 1);
    size_t n = std::fread(data.data(), 1, data.size(), f);
    bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) {
        error = path + ": read error";
        return false;
    }
    if (n != kSize) {
        error = path + ": " + std::to_string(n) + (n > kSize ? " bytes or more" : " bytes") +
                "; the serial flash array is " + std::to_string(kSize) + " bytes";
        return false;
    }
    data.resize(kSize);
    array_ = std::move(data);
    modified_ = false;
    return true;
}

bool SpiFlash::save(const std::string &path, std::string &error)
{
    std::string temp = path + ".part";
    FILE *f = std::fopen(temp.c_str(), "wb");
    if (!f) {
        error = temp + ": " + std::strerror(errno);
        return false;
    }
    bool ok = std::fwrite(array_.data(), 1, array_.size(), f) == array_.size();
    ok = std::fclose(f) == 0 && ok;
    if (!ok || std::rename(temp.c_str(), path.c_str()) != 0) {
        error = path + ": " + (ok ? std::strerror(errno) : "write error");
        std::remove(temp.c_str());
        return false;
    }
    modified_ = false;
    return true;
}

void SpiFlash::on_lines(uint32_t changed, uint32_t levels)
{
    uint32_t cs = 1u << lines_.cs, sck = 1u << lines_.sck;
    if (changed & cs) {
        // An SCK change at the same instant is not a clock edge for the part.
        if (levels & cs)
            deselect();
        else
            select();
        return;
    }
    if (!selected_ || !(changed & sck))
        return;
    if (levels & sck) {
        check_clock();
        in_ = static_cast<uint8_t>((in_ << 1) | ((levels >> lines_.mosi) & 1u));
        if (++bit_ == 8) {
            bit_ = 0;
            on_byte(in_);
        }
    } else if (giving_) {
        uint32_t miso = 1u << lines_.miso;
        pins_.drive(source_, miso, miso, ((out_ >> (7 - bit_)) & 1u) ? miso : 0u);
    }
}

void SpiFlash::check_clock()
{
    Picos now = clock_.now();
    if (rose_) {
        Picos period = now - last_rise_;
        double mhz = period ? 1e6 / static_cast<double>(period) : 1e12;
        bool read_body = opcode_ == READ && count_ > 0 && !ignored_;
        log_.rules.check(read_body ? kReadClock : kClock, mhz);
    }
    rose_ = true;
    last_rise_ = now;
}

void SpiFlash::select()
{
    selected_ = true;
    ignored_ = giving_ = false;
    rose_ = false;
    bit_ = count_ = 0;
    addr_ = 0;
    show_ready();
}

// With EBSY, MISO tells a selecting master whether the AAI word is done.
void SpiFlash::show_ready()
{
    if (!selected_ || giving_ || !aai_ || !busy_output_)
        return;
    uint32_t miso = 1u << lines_.miso;
    pins_.drive(source_, miso, miso, busy_ ? 0u : miso);
}

void SpiFlash::deselect()
{
    if (!selected_)
        return;
    selected_ = false;
    giving_ = false;
    pins_.release(source_, 1u << lines_.miso);
    if (ignored_ || count_ == 0)
        return;
    bool was_ewsr = opcode_ == EWSR;
    if (bit_ != 0)
        refuse("chip select rose in the middle of a byte");
    else
        execute();
    if (!was_ewsr)
        ewsr_ = false;
}

bool SpiFlash::accept(uint8_t op)
{
    if (busy_ && op != RDSR) {
        log_.warn(name_, "command " + hex8(op) + " ignored: busy");
        return false;
    }
    if (aai_ && op != RDSR && op != WRDI && op != AAI_PROGRAM) {
        log_.warn(name_, "command " + hex8(op) + " ignored in auto-address-increment mode");
        return false;
    }
    switch (op) {
    case WRSR: case PROGRAM: case READ: case WRDI: case RDSR: case WREN: case FAST_READ:
    case SECTOR_ERASE: case EWSR: case BLOCK_ERASE_32K: case CHIP_ERASE: case READ_ID:
    case JEDEC_ID: case AAI_PROGRAM: case READ_ID_ALT: case CHIP_ERASE_ALT: case BLOCK_ERASE_64K:
    case EBSY: case DBSY:
        return true;
    default:
        log_.warn(name_, "command " + hex8(op) + " is not one of this part's: ignored");
        return false;
    }
}

void SpiFlash::give(uint8_t byte)
{
    out_ = byte;
    giving_ = true;
}

void SpiFlash::on_byte(uint8_t b)
{
    if (ignored_)
        return;
    unsigned n = count_++;   // index of this byte in the command
    if (n == 0) {
        opcode_ = b;
        if (!accept(b)) {
            ignored_ = true;
            return;
        }
        if (b == RDSR)
            give(status());
        else if (b == JEDEC_ID)
            give(kManufacturer);
        return;
    }
    // Address bytes, most significant first, follow the opcode where needed.
    bool addressed = opcode_ == READ || opcode_ == FAST_READ || opcode_ == PROGRAM || opcode_ == SECTOR_ERASE ||
                     opcode_ == BLOCK_ERASE_32K || opcode_ == BLOCK_ERASE_64K || opcode_ == READ_ID ||
                     opcode_ == READ_ID_ALT || (opcode_ == AAI_PROGRAM && !aai_);
    if (addressed && n <= 3) {
        addr_ = (addr_ << 8) | b;
        if (n < 3)
            return;
    }
    static const uint8_t jedec[3] = {kManufacturer, kMemoryType, kDevice};
    switch (opcode_) {
    case RDSR:
        give(status());
        break;
    case JEDEC_ID:
        give(jedec[n % 3]);
        break;
    case READ:
    case FAST_READ: {
        unsigned first_data = opcode_ == READ ? 3 : 4;   // last byte before the data
        if (n == first_data)
            read_address_ = address();
        else if (n > first_data)
            read_address_ = (read_address_ + 1) % kSize;
        if (n >= first_data)
            give(array_[read_address_]);
        break;
    }
    case READ_ID:
    case READ_ID_ALT: {
        if (n == 3)
            id_index_ = addr_ & 1u;
        else if (n > 3)
            id_index_ ^= 1u;
        if (n >= 3)
            give(id_index_ ? kDevice : kManufacturer);
        break;
    }
    case WRSR:
        if (n == 1)
            data_[0] = b;
        break;
    case PROGRAM:
        if (n == 4)
            data_[0] = b;
        else if (n == 5)
            log_.warn(name_, "byte program: bytes after the first data byte ignored");
        break;
    case AAI_PROGRAM: {
        unsigned first = aai_ ? 1 : 4;
        if (n == first || n == first + 1)
            data_[n - first] = b;
        break;
    }
    default:
        break;
    }
}

void SpiFlash::refuse(const std::string &why)
{
    log_.warn(name_, "command " + hex8(opcode_) + " refused: " + why);
}

bool SpiFlash::writable(uint32_t first, uint32_t count, const char *what)
{
    if (!wel_) {
        refuse(std::string(what) + " without write enable");
        return false;
    }
    uint8_t bp = (protect_bits_ >> 2) & 0x7;
    uint32_t protected_from = kSize;
    if (bp & 0x4)
        protected_from = 0;
    else if (bp == 1)
        protected_from = kSize - kSize / 8;
    else if (bp == 2)
        protected_from = kSize - kSize / 4;
    else if (bp == 3)
        protected_from = kSize / 2;
    if (first + count > protected_from) {
        refuse(std::string(what) + " in a write-protected area (BP = " + hex8(bp) + ")");
        return false;
    }
    return true;
}

void SpiFlash::start_busy(Picos duration, bool clear_wel)
{
    busy_ = true;
    clear_wel_ = clear_wel;
    busy_event_ = clock_.schedule_in({name_.c_str(), "busy end"}, duration, [this] { busy_end(); });
}

void SpiFlash::busy_end()
{
    busy_ = false;
    busy_event_ = 0;
    if (clear_wel_)
        wel_ = false;
    show_ready();
}

void SpiFlash::erase(uint32_t size, Picos duration, const char *what)
{
    if (count_ < (size == kSize ? 1u : 4u)) {
        refuse("address incomplete");
        return;
    }
    uint32_t first = size == kSize ? 0 : address() & ~(size - 1);
    if (!writable(first, size, what))
        return;
    std::fill(array_.begin() + first, array_.begin() + first + size, 0xFF);
    modified_ = true;
    start_busy(duration, true);
}

void SpiFlash::program_aai_word(uint32_t address)
{
    if (writable(address, 2, "auto-address-increment program")) {
        array_[address] &= data_[0];
        array_[address + 1] &= data_[1];
        modified_ = true;
    }
    aai_address_ = address + 2;
    bool last = aai_address_ >= kSize;
    start_busy(kAaiWordTime, last);
    if (last) {
        log_.warn(name_, "auto-address-increment programming reached the end of the array: mode ended");
        aai_ = false;
    }
}

void SpiFlash::execute()
{
    switch (opcode_) {
    case WREN: wel_ = true; break;
    case WRDI:
        wel_ = false;
        aai_ = false;
        break;
    case EWSR: ewsr_ = true; break;
    case WRSR:
        if (count_ < 2)
            refuse("no status byte");
        else if (!ewsr_ && !wel_)
            refuse("status write without EWSR or WREN just before");
        else {
            protect_bits_ = data_[0] & (BP_BITS | BPL);
            wel_ = false;
        }
        break;
    case PROGRAM:
        if (count_ < 5)
            refuse("no data byte");
        else if (writable(address(), 1, "byte program")) {
            array_[address()] &= data_[0];
            modified_ = true;
            start_busy(kByteProgramTime, true);
        }
        break;
    case AAI_PROGRAM:
        if (!aai_) {
            if (count_ < 6)
                refuse("address or data incomplete");
            else if (!wel_)
                refuse("auto-address-increment program without write enable");
            else if (writable(address() & ~1u, 2, "auto-address-increment program")) {
                aai_ = true;
                program_aai_word(address() & ~1u);
            }
        } else if (count_ < 3) {
            refuse("data incomplete");
        } else {
            program_aai_word(aai_address_);
        }
        break;
    case SECTOR_ERASE: erase(kSectorSize, kSectorEraseTime, "sector erase"); break;
    case BLOCK_ERASE_32K: erase(32 * 1024, kBlockEraseTime, "32 KiB block erase"); break;
    case BLOCK_ERASE_64K: erase(64 * 1024, kBlockEraseTime, "64 KiB block erase"); break;
    case CHIP_ERASE:
    case CHIP_ERASE_ALT: erase(kSize, kChipEraseTime, "chip erase"); break;
    case EBSY: busy_output_ = true; break;
    case DBSY: busy_output_ = false; break;
    default: break;   // reads and identification act while clocked
    }
}

}  // namespace board
