#include "figures.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double percentile(std::vector<double> values, double share)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto rank = size_t(std::ceil(share * double(values.size())));
    return values[std::min(values.size(), std::max<size_t>(rank, 1)) - 1];
}

void printRow(const SRow& row)
{
    std::vector<double> v = row.values;
    if (v.empty()) {
        std::printf("%-44s %33s  target %s\n", row.name, "(no figures)", qPrintable(row.target));
        return;
    }
    std::sort(v.begin(), v.end());
    std::printf("%-44s %9.1f %9.1f %9.1f   target %s\n", row.name, v.front(), median(v), v.back(),
                qPrintable(row.target));
}
