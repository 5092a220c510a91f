#include "directory/userdirectory.h"
#include "frontend/run.h"

int main(int argc, char** argv)
{
    return run(argc, argv, *makedirectory());
}
