#include "tests/common/scripted_uart.h"

#include "hw/uart16550.h"
#include "sim/kernel/sim_kernel.h"

namespace zeltest {

namespace {
constexpr int Index(ScriptedUart::Reg reg) {
    return static_cast<int>(reg);
}

// Registers that read back what was last written unless a reading is queued.
bool ReadsBackWritten(ScriptedUart::Reg reg) {
    using R = ScriptedUart::Reg;
    return reg == R::Ier || reg == R::Lcr || reg == R::Mcr || reg == R::Scr || reg == R::Dll ||
           reg == R::Dlm;
}
}  // namespace

ScriptedUart::ScriptedUart(uint32_t stride) : stride_(stride) {
    steady_[Index(Reg::IirFcr)] = zel::kIirNoInterrupt;
}

void ScriptedUart::SetSteady(Reg reg, uint8_t value) {
    std::lock_guard lock(mu_);
    steady_[Index(reg)] = value;
}

void ScriptedUart::Queue(Reg reg, std::vector<uint8_t> values) {
    std::lock_guard lock(mu_);
    for (uint8_t v : values) queued_[Index(reg)].push_back(v);
}

void ScriptedUart::QueueReceived(const std::vector<uint8_t>& bytes) {
    std::lock_guard lock(mu_);
    received_.insert(received_.end(), bytes.begin(), bytes.end());
}

std::vector<uint8_t> ScriptedUart::Transmitted() const {
    std::lock_guard lock(mu_);
    return transmitted_;
}

uint8_t ScriptedUart::Written(Reg reg) const {
    std::lock_guard lock(mu_);
    return written_[Index(reg)];
}

void ScriptedUart::FaultOnWrite(Reg reg) {
    std::lock_guard lock(mu_);
    faultOnWrite_[Index(reg)] = true;
}

std::vector<ScriptedUart::Access> ScriptedUart::Log() const {
    std::lock_guard lock(mu_);
    return log_;
}

void ScriptedUart::ClearLog() {
    std::lock_guard lock(mu_);
    log_.clear();
}

size_t ScriptedUart::CountOf(bool write, Reg reg) const {
    std::lock_guard lock(mu_);
    size_t n = 0;
    for (const Access& a : log_) n += (a.write == write && a.reg == reg) ? 1 : 0;
    return n;
}

void ScriptedUart::Mark(uint32_t value) {
    std::lock_guard lock(mu_);
    log_.push_back({false, kMarker, 0, value});
}

ScriptedUart::Reg ScriptedUart::Decode(uint32_t offset) const {
    const bool latch = (written_[Index(Reg::Lcr)] & zel::kLcrDivisorLatch) != 0;
    if (offset % stride_ == 0 && offset / stride_ < zel::kUartRegisterCount) {
        switch (offset / stride_) {
            case zel::kUartRegData:
                return latch ? Reg::Dll : Reg::Data;
            case zel::kUartRegIer:
                return latch ? Reg::Dlm : Reg::Ier;
            case zel::kUartRegIir:
                return Reg::IirFcr;
            case zel::kUartRegLcr:
                return Reg::Lcr;
            case zel::kUartRegMcr:
                return Reg::Mcr;
            case zel::kUartRegLsr:
                return Reg::Lsr;
            case zel::kUartRegMsr:
                return Reg::Msr;
            default:
                return Reg::Scr;
        }
    }
    if (offset == zel::kUartTxFifoLevelOffset) return Reg::TxLevel;
    if (offset == zel::kUartRxFifoLevelOffset) return Reg::RxLevel;
    if (offset >= zel::kUartFifoWindowOffset &&
        offset < zel::kUartFifoWindowOffset + zel::kUartFifoWindowLength) {
        return Reg::Fifo;
    }
    return Reg::Other;
}

uint8_t ScriptedUart::ReadLocked(Reg reg) {
    if (reg == Reg::Fifo) {
        if (received_.empty()) return 0;
        const uint8_t b = received_.front();
        received_.pop_front();
        return b;
    }
    auto& queue = queued_[Index(reg)];
    if (!queue.empty()) {
        const uint8_t v = queue.front();
        queue.pop_front();
        return v;
    }
    return ReadsBackWritten(reg) ? written_[Index(reg)] : steady_[Index(reg)];
}

uint8_t ScriptedUart::Read8(uint32_t offset) {
    std::lock_guard lock(mu_);
    const Reg reg = Decode(offset);
    const uint8_t v = ReadLocked(reg);
    log_.push_back({false, reg, 1, v});
    return v;
}

void ScriptedUart::Write8(uint32_t offset, uint8_t value) {
    std::unique_lock lock(mu_);
    const Reg reg = Decode(offset);
    log_.push_back({true, reg, 1, value});
    if (faultOnWrite_[Index(reg)]) {
        lock.unlock();
        sim::RaiseProcessorFault("scripted fault on a register write");
    }
    if (reg == Reg::Fifo) {
        transmitted_.push_back(value);
    } else {
        written_[Index(reg)] = value;
    }
}

uint32_t ScriptedUart::Read32(uint32_t offset) {
    std::lock_guard lock(mu_);
    const Reg reg = Decode(offset);
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t{ReadLocked(reg)} << (8 * i);
    log_.push_back({false, reg, 4, v});
    return v;
}

void ScriptedUart::Write32(uint32_t offset, uint32_t value) {
    std::lock_guard lock(mu_);
    const Reg reg = Decode(offset);
    log_.push_back({true, reg, 4, value});
    for (int i = 0; i < 4; ++i) {
        const auto b = static_cast<uint8_t>(value >> (8 * i));
        if (reg == Reg::Fifo) {
            transmitted_.push_back(b);
        } else {
            written_[Index(reg)] = b;
        }
    }
}

}  // namespace zeltest
