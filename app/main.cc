// RecoverQelSD: recovers logged records from the raw volume of a data logger's SD card.
#include "app/run.h"
#include "platform/platform.h"

int main(int argc, char** argv)
{
    const int code = run_program(argc, argv);
    // Every file is closed by now; a closing console may let the process end.
    platform::files_closed();
    return code;
}
