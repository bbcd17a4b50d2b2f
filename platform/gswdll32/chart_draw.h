// The chart entries of the charting module (argument lists in gswdll32.h).
#ifndef KV_PLATFORM_GSWDLL32_CHART_DRAW_H
#define KV_PLATFORM_GSWDLL32_CHART_DRAW_H

#include <cstdint>

namespace kv::gsw {

int32_t OpenChart(int32_t, int32_t, int32_t, int32_t, int32_t width, int32_t height, double scale, int32_t, int32_t,
                  int32_t* status);
int32_t CloseChart(int32_t handle);
int32_t SetOption(int32_t value);
double WidthBase();
double HeightBase();
int32_t ExportChart(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t format, int32_t,
                    const char* path);
int32_t ExportChartBitmap(const unsigned char** data, int32_t* size);
int32_t Batch();
int32_t SetValues(int32_t groups, int32_t perGroup, const double* values);
int32_t SetLabels(int32_t count, const char* const* texts);
int32_t SetLegends(int32_t count, const char* const* texts);
int32_t SetTitle(const char* text);
int32_t SetItemAxis(const char* text);
int32_t SetValueAxis(const char* text);
int32_t SetStyle(int32_t style, int32_t flags, int32_t reserved);
int32_t SetFont(int32_t, int32_t, int32_t, int32_t);
int32_t SetLegendPlace(int32_t, int32_t, int32_t, int32_t, int32_t);

}  // namespace kv::gsw

#endif
