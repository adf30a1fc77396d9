/* What repeated runs (-N) and a sweep (-R) report: a table on standard
 * output, a row a run or a step, with the median and spread of runs of the
 * same settings and the knee of a sweep; and the same as a JSON result. */
#ifndef TFX_CLIENT_SWEEPREPORT_H
#define TFX_CLIENT_SWEEPREPORT_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "client/options/ClientOptions.h"
#include "client/results/SweepResult.h"

/* "tfxclnt: 30.0 transactions/s, run 2 of 3" before the progress lines of
 * a run; the run's number only when there are several. */
void PrintRunHeading(FILE *out, const std::string &heading, uint32_t number, uint32_t n);

/* The settings, then the heading of the table of runs. */
void PrintRepeatsHeading(FILE *out, const ClientSettings &settings, uint64_t seed);

/* The row of run number (from 1) of repeated runs, as soon as it ended. */
void PrintRunRow(FILE *out, size_t number, const RepeatRun &run);

/* What cut the runs short, then the median, least and greatest rows under
 * them, and whether p99 was noisy. */
void PrintRepeatsEnd(FILE *out, const RepeatedRuns &runs, const RunsEnd &end, uint32_t asked);

/* The settings, the range and the conditions of a step, then the heading
 * of the table of steps. */
void PrintSweepHeading(FILE *out, const ClientSettings &settings, uint32_t runsPerStep,
                       uint64_t seed);

/* A step's row (the median of its runs), then with several runs their
 * least and greatest figures. */
void PrintStepRows(FILE *out, const SweepStep &step);

/* The noisy steps, what cut the sweep short, and the knee: the highest
 * rate that met the conditions and the first that did not, with why. */
void PrintKnee(FILE *out, const SweepResult &sweep);

/* The JSON result of repeated runs that ended with exitCode. */
std::string RepeatsJson(const ClientSettings &settings, uint64_t seed, const RepeatedRuns &runs,
                        const RunsEnd &end, int exitCode);

/* The JSON result of a sweep that ended with exitCode. */
std::string SweepJson(const ClientSettings &settings, uint64_t seed, const SweepResult &sweep,
                      int exitCode);

#endif
