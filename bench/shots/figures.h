#pragma once

#include <QString>
#include <vector>

// The figures the shot benchmark prints: one row per measure, min / median / max over its
// samples, beside its target.
double median(std::vector<double> values);
// The value below which `share` (0..1) of the samples lie, nearest rank.
double percentile(std::vector<double> values, double share);

struct SRow
{
    const char* name;
    std::vector<double> values;
    QString target;
};

void printRow(const SRow& row);
