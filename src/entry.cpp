#include "main.h"

int main(int argc, char** argv) {
    return fernhollow::fernhollowMain(argc, argv);
}
