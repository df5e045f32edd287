#include "run/flash_handoff.h"

#include "serial/serial_link.h"

namespace run {

flash_phase_result run_flash_phase(run_settings& settings, flash_phase_report& report) {
    report = flash_phase_report{};
    // 1. The loader's ready byte, waited for without limit: the operator's board
    // may take its time to start the loader.
    int answer = 0;
    while (answer != serial::ACK && answer != serial::NAK) {
        if (serial::interrupted()) {
            return flash_phase_result::over;
        }
        answer = serial::wait_control(serial::long_budget);
    }
    // 2. Declined.
    if (answer == serial::NAK) {
        report.declined = true;
        serial::drain_echo(nullptr, 0);
        serial::drain_echo(nullptr, 0);
        return flash_phase_result::over;
    }
    // 3. Ready: the data file goes to the loader.
    report.ready = true;
    if (flash::sp_send_file(settings.data_file, settings.flash_offset, &report.transfer) == 1) {
        return flash_phase_result::data_file_unopened;
    }
    for (int i = 0; i < 3; ++i) {
        serial::drain_echo(nullptr, 0);
    }
    return flash_phase_result::over;
}

} // namespace run
