/* How figures read on the console: latencies with a unit and three
 * significant digits, rates and seconds with fixed decimals. */
#ifndef TFX_CLIENT_FIGURETEXT_H
#define TFX_CLIENT_FIGURETEXT_H

#include <cstdint>
#include <string>

/* 850ns, 12.3us, 1.23ms, 2.50s. */
std::string LatencyText(double ns);

/* A number with the given decimals: 1234.5. */
std::string FixedText(double value, int decimals);

#endif
