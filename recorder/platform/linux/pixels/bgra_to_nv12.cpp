#include "recorder/platform/linux/pixels/bgra_to_nv12.hpp"

#include <algorithm>

#include "recorder/platform/linux/pixels/nv12_kernels.hpp"
#include "recorder/platform/linux/pixels/nv12_row_pair.hpp"

namespace recorder::linux_backend {
namespace {

void rowPairScalar(const RowPair& rows) { convertRowPairScalar(rows, 0); }

using RowPairConverter = void (*)(const RowPair&);

RowPairConverter converterFor(Nv12Kernel kernel) {
    switch (kernel) {
#if defined(AGENTS_PIXELS_X86)
        case Nv12Kernel::avx2:
            return &convertRowPairAVX2;
        case Nv12Kernel::ssse3:
            return &convertRowPairSSSE3;
#endif
        default:
            return &rowPairScalar;
    }
}

}  // namespace

std::string_view nv12KernelName(Nv12Kernel kernel) {
    switch (kernel) {
        case Nv12Kernel::scalar:
            return "scalar";
        case Nv12Kernel::ssse3:
            return "SSSE3";
        case Nv12Kernel::avx2:
            return "AVX2";
    }
    return "unknown";
}

bool nv12KernelAvailable(Nv12Kernel kernel) {
    switch (kernel) {
        case Nv12Kernel::scalar:
            return true;
#if defined(AGENTS_PIXELS_X86)
        case Nv12Kernel::ssse3:
            return __builtin_cpu_supports("ssse3");
        case Nv12Kernel::avx2:
            // The AVX2 kernel hands its remainders to the SSSE3 one.
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("ssse3");
#endif
        default:
            return false;
    }
}

Nv12Kernel bestNv12Kernel() {
    // Decided once: the processor does not change under a running program.
    static const Nv12Kernel best = [] {
        for (Nv12Kernel kernel : {Nv12Kernel::avx2, Nv12Kernel::ssse3}) {
            if (nv12KernelAvailable(kernel)) return kernel;
        }
        return Nv12Kernel::scalar;
    }();
    return best;
}

void convertBGRAToNV12BT709RowsWith(Nv12Kernel kernel, const uint8_t* bgra, int bgraStride, int width, int height,
                                    uint8_t* yPlane, int yStride, uint8_t* uvPlane, int uvStride, int firstRow,
                                    int rowCount) {
    if (width <= 0 || height <= 0 || rowCount <= 0) return;
    const int begin = std::clamp(firstRow - (firstRow & 1), 0, height);
    const int end = static_cast<int>(std::min<long>(height, static_cast<long>(firstRow) + rowCount));
    const RowPairConverter convert = converterFor(kernel);
    for (int row = begin; row < end; row += 2) {
        const bool hasSecondRow = row + 1 < height;
        RowPair rows;
        rows.top = bgra + static_cast<long>(row) * bgraStride;
        rows.bottom = hasSecondRow ? rows.top + bgraStride : rows.top;
        rows.yTop = yPlane + static_cast<long>(row) * yStride;
        rows.yBottom = hasSecondRow ? rows.yTop + yStride : nullptr;
        rows.uv = uvPlane + static_cast<long>(row / 2) * uvStride;
        rows.width = width;
        convert(rows);
    }
}

void convertBGRAToNV12BT709Rows(const uint8_t* bgra, int bgraStride, int width, int height, uint8_t* yPlane,
                                int yStride, uint8_t* uvPlane, int uvStride, int firstRow, int rowCount) {
    convertBGRAToNV12BT709RowsWith(bestNv12Kernel(), bgra, bgraStride, width, height, yPlane, yStride, uvPlane,
                                   uvStride, firstRow, rowCount);
}

void convertBGRAToNV12BT709(const uint8_t* bgra, int bgraStride, int width, int height, uint8_t* yPlane, int yStride,
                            uint8_t* uvPlane, int uvStride) {
    convertBGRAToNV12BT709Rows(bgra, bgraStride, width, height, yPlane, yStride, uvPlane, uvStride, 0, height);
}

}  // namespace recorder::linux_backend
