#include "boot_bench_image.h"
#include "boot_image.h"
#include "run.h"

int main(int argc, char** argv) {
    return korvin::korvin_main(argc, argv, {korvin::boot_image, korvin::boot_image_size},
                               {korvin::boot_bench_image, korvin::boot_bench_image_size});
}
