#include "boot_image.h"
#include "run.h"

int main(int argc, char** argv) {
    return korvin::korvin_main(argc, argv, korvin::boot_image, korvin::boot_image_size);
}
