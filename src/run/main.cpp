// vantrel: programs the flash memory of an Orlik board over a serial line.
#include "platform/platform.h"
#include "run/main_sequence.h"

int main(int argc, char** argv) {
    return run::run_main(argc, argv, platform::native_host());
}
