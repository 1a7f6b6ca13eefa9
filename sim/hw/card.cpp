#include "sim/hw/card.h"

#include <atomic>
#include <deque>
#include <mutex>

#include "sim/hw/delay_timer.h"
#include "sim/hw/eeprom.h"
#include "sim/hw/uart.h"
#include "sim/irq/sim_irq.h"

namespace sim {
namespace {

// clang-format off
constexpr CardModel kCardModels[] = {
    // Two ports.
    {0x0A40, 2, 1024}, {0x0A48, 2, 1024}, {0x0A50, 2, 1024}, {0x0A58, 2, 1024},
    {0x0A60, 2, 1024}, {0x0A61, 2, 1024}, {0x0A62, 2, 1024}, {0x0A63, 2, 1024},
    {0x0A64, 2, 1024}, {0x0A65, 2, 1024}, {0x0A66, 2, 1024},
    // Four ports.
    {0x0A41, 4, 2048}, {0x0A49, 4, 2048}, {0x0A51, 4, 2048}, {0x0A59, 4, 2048},
    // Eight ports.
    {0x0A42, 8, 4096}, {0x0A4A, 8, 4096}, {0x0A52, 8, 4096}, {0x0A5A, 8, 4096},
};
// clang-format on

constexpr size_t kMarkerHistory = 256;

bool InRegisterBlock(uint32_t offset) {
    return offset >= kCardRegBlockFirst && offset <= kCardRegBlockLast;
}

}  // namespace

std::optional<CardModel> CardModelFor(uint16_t subsystemId) {
    for (const CardModel& model : kCardModels) {
        if (model.subsystemId == subsystemId) return model;
    }
    return std::nullopt;
}

EepromImage EepromWithClock(uint32_t clockRate, uint32_t lowWord) {
    EepromImage words{};
    words[lowWord % kCardEepromWords] = static_cast<uint16_t>(clockRate & 0xFFFF);
    words[(lowWord + 1) % kCardEepromWords] = static_cast<uint16_t>(clockRate >> 16);
    return words;
}

EepromImage EepromForDevice(uint16_t deviceId, uint32_t clockRate) {
    const bool upperPair = (deviceId & 0xFF00) == 0x0200;
    return EepromWithClock(clockRate, upperPair ? 6 : 4);
}

// Lock order: a UART's own lock may be held when it reports its interrupt output, which takes
// `mutex`; so `mutex` is never held while calling into a UART. The interrupt controller's lock
// is taken under `mutex` (the line is driven from here) and never the other way round.
struct Card::State {
    CardConfig config;
    std::vector<std::shared_ptr<Uart>> uarts;  // fixed after construction
    SerialEeprom eeprom;
    DelayTimer timer;

    mutable std::mutex mutex;
    bool attached = false;            // guarded by mutex
    uint8_t uartOutputs = 0;          // bit k: UART k+1's interrupt output; guarded by mutex
    uint8_t forced = 0;               // test-forced status bits; guarded by mutex
    bool line = false;                // guarded by mutex
    uint8_t eepromControl = 0;        // last value written to 0x8E; guarded by mutex
    uint8_t lastPassMarker = 0;       // guarded by mutex
    uint8_t lastMarker93 = 0;         // guarded by mutex
    std::deque<uint8_t> passHistory;  // guarded by mutex
    CardCounters counters;            // guarded by mutex; accessesWhileGone is kept below
    // Set once by Vanish; read without the mutex on every register access.
    std::atomic<bool> gone{false};
    std::atomic<uint64_t> accessesWhileGone{0};

    // True (and the access counted) when the card has vanished.
    bool GoneAccess() {
        if (!gone.load(std::memory_order_acquire)) return false;
        accessesWhileGone.fetch_add(1, std::memory_order_relaxed);
        return true;
    }

    uint8_t StatusLocked() const { return uartOutputs | forced; }

    // The one place the interrupt line is computed. Called after every change of a status
    // source; an asserted line is re-driven so the controller looks at the new status.
    void UpdateLineLocked() {
        const bool asserted = attached && !gone.load() && StatusLocked() != 0;
        if (asserted && !line) ++counters.lineAssertions;
        const bool changed = asserted != line;
        line = asserted;
        if (config.irq != 0 && (changed || asserted)) IrqSetLevel(config.irq, asserted);
    }

    void OnUartOutput(uint32_t index, bool asserted) {
        std::lock_guard<std::mutex> lock(mutex);
        const uint8_t bit = static_cast<uint8_t>(1u << index);
        const uint8_t before = uartOutputs;
        uartOutputs = asserted ? (uartOutputs | bit) : (uartOutputs & ~bit);
        if (uartOutputs != before) UpdateLineLocked();
    }

    // A register of the block, without side effects other than the counter.
    uint8_t ReadRegisterLocked(uint32_t offset, bool count) {
        switch (offset) {
            case kCardRegInterruptStatus:
                if (count) ++counters.statusReads;
                return StatusLocked();
            case kCardRegTimerStatus:
                return timer.ReadStatus();
            case kCardRegTimerControl:
                return timer.ReadControl();
            case kCardRegTimerCount:
                return timer.ReadCount();
            case kCardRegEepromControl:
                return static_cast<uint8_t>((eepromControl & ~kCardEepromDataOut) |
                                            (eeprom.DataOut() ? kCardEepromDataOut : 0));
            case kCardRegPassMarker:
                return lastPassMarker;
            case kCardRegMarker93:
                return lastMarker93;
            default:
                return 0;
        }
    }

    void WriteRegisterLocked(uint32_t offset, uint8_t value) {
        switch (offset) {
            case kCardRegTimerControl:
                if (value == DelayTimer::kStart) ++counters.timerStarts;
                timer.WriteControl(value);
                break;
            case kCardRegTimerCount:
                timer.WriteCount(value);
                break;
            case kCardRegEepromControl:
                ++counters.eepromControlWrites;
                eepromControl = value;
                eeprom.Drive((value & kCardEepromSelect) != 0, (value & kCardEepromClock) != 0,
                             (value & kCardEepromDataIn) != 0);
                break;
            case kCardRegPassMarker:
                ++counters.passMarkerWrites;
                if (value == 255) ++counters.passMarker255;
                if (value == 254) ++counters.passMarker254;
                lastPassMarker = value;
                passHistory.push_back(value);
                if (passHistory.size() > kMarkerHistory) passHistory.pop_front();
                break;
            case kCardRegMarker93:
                ++counters.marker93Writes;
                lastMarker93 = value;
                break;
            default:
                break;
        }
    }

    // The UART whose window holds offset (and the offset inside it), or null.
    Uart* UartAt(uint32_t offset, uint32_t* inner) const {
        const uint32_t index = offset / kCardPortStride;
        if (index >= uarts.size()) return nullptr;
        *inner = offset % kCardPortStride;
        return uarts[index].get();
    }
};

std::shared_ptr<Card> Card::Create(const CardConfig& config) {
    return std::shared_ptr<Card>(new Card(config));
}

Card::Card(const CardConfig& config) : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.config = config;
    const std::optional<CardModel> model = CardModelFor(config.subsystemId);
    if (s.config.portCount == 0) s.config.portCount = model ? model->portCount : 2;
    if (s.config.portCount > kCardMaxPorts) s.config.portCount = kCardMaxPorts;
    if (s.config.windowLength == 0)
        s.config.windowLength = model ? model->windowLength : s.config.portCount * kCardPortStride;
    if (!s.config.eeprom) s.config.eeprom = EepromForDevice(config.deviceId, config.clockRate);
    s.eeprom.SetContents(*s.config.eeprom);

    for (uint32_t i = 0; i < s.config.portCount; ++i) {
        UartConfig uartConfig;
        uartConfig.name = s.config.name + " port " + std::to_string(i + 1);
        uartConfig.clockHz = s.config.clockRate;
        std::shared_ptr<Uart> uart = Uart::Create(uartConfig);
        if (!uart) {
            // A clock the UART model cannot run at (the EEPROM may still say so).
            uartConfig.clockHz = kCardDefaultClock;
            uart = Uart::Create(uartConfig);
        }
        State* state = state_.get();
        uart->SetInterruptCallback([state, i](bool asserted) { state->OnUartOutput(i, asserted); });
        s.uarts.push_back(std::move(uart));
    }
}

Card::~Card() {
    // A wire may keep a UART alive: stop its reports first (this waits for one in progress).
    for (auto& uart : state_->uarts) uart->SetInterruptCallback(nullptr);
    state_->uarts.clear();
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->attached = false;
    state_->UpdateLineLocked();
}

const CardConfig& Card::Config() const {
    return state_->config;
}
uint32_t Card::PortCount() const {
    return state_->config.portCount;
}
uint32_t Card::WindowLength() const {
    return state_->config.windowLength;
}

void Card::Attach() {
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->attached) return;
        state_->attached = true;
    }
    BusAttach(state_->config.busAddress, state_->config.windowLength, shared_from_this());
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->UpdateLineLocked();
}

void Card::Detach() {
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (!state_->attached) return;
        state_->attached = false;
        state_->UpdateLineLocked();
    }
    BusDetach(state_->config.busAddress);
}

bool Card::Attached() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->attached;
}

Uart& Card::UartOf(uint32_t port) {
    return *state_->uarts.at(port - 1);
}

uint8_t Card::InterruptStatus() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->StatusLocked();
}

bool Card::LineAsserted() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->line;
}

void Card::ForceStatus(uint8_t bits) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->forced |= bits;
    state_->UpdateLineLocked();
}

void Card::ClearForcedStatus(uint8_t bits) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->forced &= static_cast<uint8_t>(~bits);
    state_->UpdateLineLocked();
}

void Card::Vanish() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->gone.store(true, std::memory_order_release);
    state_->UpdateLineLocked();
}

bool Card::Vanished() const {
    return state_->gone.load(std::memory_order_acquire);
}

void Card::SetEeprom(const EepromImage& words) {
    state_->eeprom.SetContents(words);
}
EepromImage Card::Eeprom() const {
    return state_->eeprom.Contents();
}
void Card::SetTimerNeverExpires(bool never) {
    state_->timer.SetNeverExpires(never);
}

uint8_t Card::LastPassMarker() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->lastPassMarker;
}

uint8_t Card::LastMarker93() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->lastMarker93;
}

std::vector<uint8_t> Card::PassMarkerHistory() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return {state_->passHistory.begin(), state_->passHistory.end()};
}

CardCounters Card::Counters() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    CardCounters counters = state_->counters;
    counters.accessesWhileGone = state_->accessesWhileGone.load(std::memory_order_relaxed);
    return counters;
}

void Card::ResetCounters() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->counters = CardCounters{};
    state_->accessesWhileGone.store(0, std::memory_order_relaxed);
    state_->passHistory.clear();
}

std::string Card::Name() const {
    return state_->config.name;
}

uint8_t Card::Read8(uint32_t offset) {
    if (state_->GoneAccess()) return 0xFF;
    if (InRegisterBlock(offset)) {
        std::lock_guard<std::mutex> lock(state_->mutex);
        return state_->ReadRegisterLocked(offset, true);
    }
    uint32_t inner = 0;
    Uart* uart = state_->UartAt(offset, &inner);
    return uart != nullptr ? uart->Read8(inner) : 0;
}

void Card::Write8(uint32_t offset, uint8_t value) {
    if (state_->GoneAccess()) return;
    if (InRegisterBlock(offset)) {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->WriteRegisterLocked(offset, value);
        return;
    }
    uint32_t inner = 0;
    if (Uart* uart = state_->UartAt(offset, &inner)) uart->Write8(inner, value);
}

uint32_t Card::Read32(uint32_t offset) {
    if (state_->GoneAccess()) return 0xFFFFFFFFu;
    if (InRegisterBlock(offset)) {
        // Four consecutive registers, lowest first; only the first access counts.
        std::lock_guard<std::mutex> lock(state_->mutex);
        uint32_t value = 0;
        for (uint32_t i = 0; i < 4; ++i) {
            const uint32_t at = offset + i;
            if (InRegisterBlock(at))
                value |= static_cast<uint32_t>(state_->ReadRegisterLocked(at, i == 0)) << (8 * i);
        }
        return value;
    }
    uint32_t inner = 0;
    Uart* uart = state_->UartAt(offset, &inner);
    return uart != nullptr ? uart->Read32(inner) : 0;
}

void Card::Write32(uint32_t offset, uint32_t value) {
    if (state_->GoneAccess()) return;
    if (InRegisterBlock(offset)) {
        std::lock_guard<std::mutex> lock(state_->mutex);
        for (uint32_t i = 0; i < 4 && InRegisterBlock(offset + i); ++i)
            state_->WriteRegisterLocked(offset + i, static_cast<uint8_t>(value >> (8 * i)));
        return;
    }
    uint32_t inner = 0;
    if (Uart* uart = state_->UartAt(offset, &inner)) uart->Write32(inner, value);
}

bool Card::SetPower(uint32_t offset, uint32_t state) {
    if (state_->GoneAccess()) return false;
    uint32_t inner = 0;
    Uart* uart = state_->UartAt(offset, &inner);
    if (uart == nullptr || inner != 0) return false;
    return uart->SetPower(0, state);
}

}  // namespace sim
