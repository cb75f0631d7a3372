#pragma once

#include <cstdint>
#include <string_view>

// The row converters behind convertBGRAToNV12BT709, selectable by name so that tests can hold
// each one against the scalar reference and the benchmark can time each one.
namespace recorder::linux_backend {

enum class Nv12Kernel { scalar, ssse3, avx2 };

std::string_view nv12KernelName(Nv12Kernel kernel);

// Whether this build and this processor can run `kernel`.
bool nv12KernelAvailable(Nv12Kernel kernel);

// The kernel convertBGRAToNV12BT709 uses: the fastest available one.
Nv12Kernel bestNv12Kernel();

// convertBGRAToNV12BT709Rows with a chosen kernel, which must be available.
void convertBGRAToNV12BT709RowsWith(Nv12Kernel kernel, const uint8_t* bgra, int bgraStride, int width, int height,
                                    uint8_t* yPlane, int yStride, uint8_t* uvPlane, int uvStride, int firstRow,
                                    int rowCount);

}  // namespace recorder::linux_backend
