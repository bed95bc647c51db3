// RecoverQelSD: recovers logged records from the raw volume of a data logger's SD card.
#include "app/run.h"

int main(int argc, char** argv)
{
    return run_program(argc, argv);
}
