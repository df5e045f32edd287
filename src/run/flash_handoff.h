// The flash hand-off: after the "g" command the loader says whether it is ready,
// and a ready loader gets the data file through the image transfer.
#pragma once

#include "flash/image_transfer.h"
#include "run/command_line.h"

namespace run {

enum class flash_phase_result {
    data_file_unopened, // the data file cannot be opened: the run ends without the closing steps
    over,               // the phase is over; the closing steps follow
};

struct flash_phase_report {
    bool ready = false;    // the loader answered ACK
    bool declined = false; // the loader answered NAK
    flash::transfer_report transfer;
};

flash_phase_result run_flash_phase(run_settings& settings, flash_phase_report& report);

} // namespace run
