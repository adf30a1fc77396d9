#include "client/values/FigureText.h"

#include <cstdio>

std::string LatencyText(double ns)
{
    static const struct {
        double Scale;
        const char *Unit;
    } Units[] = {{1.0, "ns"}, {1e3, "us"}, {1e6, "ms"}, {1e9, "s"}};
    char text[48];
    if (ns < 999.5) {
        (void)snprintf(text, sizeof text, "%.0fns", ns);
        return text;
    }
    size_t unit = 1;
    /* Choose the unit after rounding, so 999.96us reads 1.00ms, not 1000us. */
    while (unit + 1 < sizeof Units / sizeof Units[0] && ns / Units[unit].Scale >= 999.5)
        ++unit;
    double value = ns / Units[unit].Scale;
    int decimals = value >= 99.95 ? 0 : value >= 9.995 ? 1 : 2;
    (void)snprintf(text, sizeof text, "%.*f%s", decimals, value, Units[unit].Unit);
    return text;
}

std::string FixedText(double value, int decimals)
{
    char text[64];
    (void)snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}
