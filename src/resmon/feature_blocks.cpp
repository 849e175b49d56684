#include "resmon/feature_blocks.hpp"

#include <cfenv>
#include <cmath>
#include <cstring>
#include <vector>

namespace tarvex::resmon::blocks {

namespace {

float load(const char* at) {
    float value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

std::vector<float> gather(StridedVector v, Index count) {
    std::vector<float> values(static_cast<size_t>(count));
    for (Index k = 0; k < count; ++k) values[static_cast<size_t>(k)] = load(v.data + k * v.stride);
    return values;
}

// Magnitudes whose squares and pairwise products stay normal and finite:
// 2^-63 * 2^-63 = 2^-126 is the smallest normal float, 2^63 * 2^63 = 2^126
// is below the largest.
constexpr float kSmallest = 0x1p-63f;
constexpr float kLargest = 0x1p63f;

constexpr int kReportedExceptions = FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW | FE_UNDERFLOW;

template <bool Contiguous>
void write_rows(float* base, Index rows, const Layout& layout, OutputMatrix out) {
    const Index d = layout.columns;
    const Index step = Contiguous ? 1 : out.column_stride;
    for (Index r = 0; r < rows; ++r) {
        float* b = base + r * d;
        float* row = out.data + r * out.row_stride;
        for (Index k = 0; k < d; ++k) row[k * step] = b[k];
        if (layout.square) {
            float* squares = row + layout.square_offset() * step;
            for (Index k = 0; k < d; ++k) squares[k * step] = b[k] * b[k];
        }
        if (layout.interactions) {
            float* products = row + layout.interactions_offset() * step;
            for (Index i = 0; i < d; ++i) {
                const float bi = b[i];
                for (Index j = i + 1; j < d; ++j) {
                    *products = bi * b[j];
                    products += step;
                }
            }
        }
        for (Index k = 0; k < d; ++k) b[k] = std::fabs(b[k]);
    }
}

template <bool Contiguous>
void write_log_rows(const float* log1p_abs, Index rows, const Layout& layout, OutputMatrix out) {
    const Index d = layout.columns;
    const Index step = Contiguous ? 1 : out.column_stride;
    for (Index r = 0; r < rows; ++r) {
        const float* logs = log1p_abs + r * d;
        float* row = out.data + r * out.row_stride;
        float* signed_logs = row + layout.logabs_offset() * step;
        for (Index k = 0; k < d; ++k) {
            const float b = row[k * step];
            const float sign = b > 0.0f ? 1.0f : (b < 0.0f ? -1.0f : 0.0f);
            signed_logs[k * step] = sign * logs[k];
        }
    }
}

}  // namespace

bool standardise(StridedMatrix x, StridedVector mean, StridedVector scale, float* base) {
    const Index d = x.columns;
    if (x.rows == 0 || d == 0) return true;  // nothing to compute, nor to address
    const std::vector<float> m = gather(mean, d);
    const std::vector<float> s = gather(scale, d);
    std::feclearexcept(FE_ALL_EXCEPT);
    bool representable = true;
    for (Index r = 0; r < x.rows; ++r) {
        const char* row = x.data + r * x.row_stride;
        float* b = base + r * d;
        for (Index k = 0; k < d; ++k) {
            const float value = (load(row + k * x.column_stride) - m[static_cast<size_t>(k)]) / s[static_cast<size_t>(k)];
            b[k] = value;
            const float magnitude = std::fabs(value);
            representable &= magnitude == 0.0f || (magnitude >= kSmallest && magnitude <= kLargest);
        }
    }
    const bool raised = std::fetestexcept(kReportedExceptions) != 0;
    std::feclearexcept(FE_ALL_EXCEPT);
    return representable && !raised;
}

void write_blocks(float* base, Index rows, const Layout& layout, OutputMatrix out) {
    if (rows == 0 || layout.columns == 0) return;
    if (out.column_stride == 1)
        write_rows<true>(base, rows, layout, out);
    else
        write_rows<false>(base, rows, layout, out);
}

void write_signed_logs(const float* log1p_abs, Index rows, const Layout& layout, OutputMatrix out) {
    if (rows == 0 || layout.columns == 0) return;
    if (out.column_stride == 1)
        write_log_rows<true>(log1p_abs, rows, layout, out);
    else
        write_log_rows<false>(log1p_abs, rows, layout, out);
}

}  // namespace tarvex::resmon::blocks
