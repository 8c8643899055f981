#pragma once
// The command station as the window and the command-line tool see it: track
// power, turnouts, and reading and writing decoder CVs. Locos are driven
// through the throttle (kvr_throttle.h), the station's front door for driving. Every failure is a kvr_exception; results never carry failures
// (except the 0xFFFF "no write acknowledge" of the reads).
//
// Call set_abort_event first; then one operation at a time,
// from one thread. Operations that wait for the bus block their caller.

#include <cstdint>

#include "foundation/kvr_sys_event.h"
#include "link/kvr_loconet_port.h"

class kvr_dccx {
public:
    explicit kvr_dccx(kvr_loconet_port& link) : link_(link) {}
    kvr_dccx(const kvr_dccx&) = delete;
    kvr_dccx& operator=(const kvr_dccx&) = delete;
    virtual ~kvr_dccx() = default;

    // mode 0 paged, 1 direct, 2 operations mode (refused)
    virtual void do_write_ex_address(uint32_t mode, uint8_t cv17, uint8_t cv18) = 0;
    virtual bool do_direct_bit_write(uint32_t cv, uint8_t bit_value, uint8_t bit_number) = 0;
    virtual bool do_direct_bit_verify(uint32_t cv, uint8_t bit_value, uint8_t bit_number) = 0;
    virtual void do_direct_write(uint32_t cv, uint8_t value) = 0;
    virtual uint16_t do_direct_read(uint32_t cv) = 0;
    virtual uint16_t do_direct_readex(uint32_t cv) = 0;
    virtual void do_paged_write(uint32_t cv, uint8_t value) = 0;
    virtual uint16_t do_paged_read(uint32_t cv) = 0;
    virtual void do_register_write(uint32_t reg, uint8_t value) = 0;
    virtual uint16_t do_register_read(uint32_t reg) = 0;
    virtual void do_ops_write(uint32_t address, uint32_t cv, uint8_t value, bool feedback) = 0;
    virtual uint16_t do_ops_read(uint32_t address, uint32_t cv) = 0;
    virtual uint16_t do_ops_readex(uint32_t address, uint32_t cv) = 0;
    // number from 1; position nonzero closed, 0 thrown
    virtual void do_sw(uint16_t number, uint16_t position, bool on) = 0;
    virtual bool do_shutdown(uint8_t key) = 0;
    virtual int do_startup() = 0;

    // The event that cancels the operation in progress; not owned. Every
    // wait of an operation watches it.
    void set_abort_event(kvr_sys_event* ev) { abort_ = ev; }

protected:
    kvr_loconet_port& link_;
    kvr_sys_event* abort_ = nullptr;
};
