// Missing values in a data matrix: NaN counting, the -U setting, the pairwise
// measures' dispatch and the pairs without distance (see run.h).
#include <brivane/sink.hpp>

#include <cstdio>
#include <string>
#include <unordered_set>
#include <vector>

#include "PairwiseDistance.h"
#include "element.h"
#include "refuse.h"
#include "run.h"

namespace {

const char MSG_PROPAGATING[] = "WARNING! The data hold %lld missing values (NaN); each makes every distance of "
                               "its object NaN, and pairs at NaN distance merge after all others, before the "
                               "joins at +inf. Use -U pairwise to skip missing values pair by pair.";
const char MSG_NO_EFFECT_ON_TYPE[] = "WARNING! -U/--missing has no effect on %s data, which cannot hold missing values.";
const char MSG_NO_EFFECT_ON_GIVEN[] = "WARNING! -U/--missing has no effect on given distances: NaN and infinite "
                                      "distances are always left out.";
const char MSG_CENTROIDS_WITHOUT_POINTS[] =
    "ERROR! Ward, centroid and median linkage need the objects as points of one euclidean space, and objects "
    "with missing values compared pair by pair (-U pairwise) are not: fill in the missing values, or choose "
    "another linkage.";
const char MSG_SKIPPING[] = "  %lld missing values in %d objects are skipped pair by pair";
const char MSG_WITHOUT_DISTANCE[] = "  %lld pairs have no distance (their objects share too few values) and were left out";

std::string line(const char *format, long long count, int objects = 0)
{
    char text[512];
    std::snprintf(text, sizeof text, format, count, objects);
    return text;
}

} // namespace

int64_t Run::missing_pair_key(int i, int j) const
{
    return i < j ? (int64_t)i * object_count + j : (int64_t)j * object_count + i;
}

// Counts NaN elements overall and per object; in pairwise mode also fills
// the flags and builds the pairwise measure from the selected one.
template <class T>
void Run::prepare_missing(const T *x, Distance<T> *selected, int measure_id, bool pairwise, std::unique_ptr<Distance<T>> &pairwise_measure_out)
{
    long long missing = 0;
    int objects = 0;
    const int fewest = fewest_shared(measure_id);
    std::vector<unsigned char> flags(object_count), few(object_count);
    int64_t sufficient = 0;
    for (int i = 0; i < object_count; i++) {
        const T *row = x + (int64_t)i * row_length;
        int absent = 0;
        for (int k = 0; k < row_length; k++)
            absent += !present(row[k]);
        missing += absent;
        objects += absent > 0;
        flags[i] = absent > 0;
        few[i] = row_length - absent < fewest;
        sufficient += !few[i];
    }
    if (!pairwise) {
        if (missing > 0 && !settings.missing_given)
            run_sink->text(line(MSG_PROPAGATING, missing) + "\n");
        return;
    }
    skip_pairs_without_distance = true;
    // A string has no positions to skip: there a NaN is a character that
    // equals nothing.
    if (fewest == 0)
        static_cast<StringMeasure<T> *>(selected)->nan_is_character = true;
    if (missing == 0 || fewest == 0)
        return;
    // Distances over the values two objects share are not distances between
    // points of one space, and the centroid linkages' heights are.
    if (centroid_linkage(settings.linkage))
        refuse(MSG_CENTROIDS_WITHOUT_POINTS);
    run_sink->text(line(MSG_SKIPPING, missing, objects) + "\n");
    double p = 1;
    if (measure_id == 2)
        p = static_cast<DistanceMinkowski<T> *>(selected)->p;
    pairwise_measure_out.reset(pairwise_measure<T>(measure_id, p));
    row_flags = std::move(flags);
    too_few = std::move(few);
    pairs_with_too_few = all_pairs(object_count) - all_pairs((int)sufficient);
    sufficient_objects = sufficient;
    rows_with_missing = row_flags.data();
}

void Run::prepare_missing_values(const char *distkey)
{
    const bool given = settings.missing_given;
    const bool pairwise = settings.missing == MISSING_PAIRWISE;
    if (!distkey) {
        if (given)
            run_sink->text(std::string(MSG_NO_EFFECT_ON_GIVEN) + "\n");
        return;
    }
    const int measure_id = DistanceFactory<char>().getDistanceID(distkey);
    switch (type) {
    case TYPE_FLOAT:
        prepare_missing(data_float, measure_float, measure_id, pairwise, pairwise_float);
        break;
    case TYPE_DOUBLE:
        prepare_missing(data_double, measure_double, measure_id, pairwise, pairwise_double);
        break;
    default:
        if (given) {
            std::string text = MSG_NO_EFFECT_ON_TYPE;
            text.replace(text.find("%s"), 2, type == TYPE_CHAR ? "char" : "int");
            run_sink->text(text + "\n");
        }
    }
    rank_rows(distkey);
}

double Run::pairwise_calc_distance(int point1, int point2)
{
    int64_t a = static_cast<int64_t>(point1) * row_length;
    int64_t b = static_cast<int64_t>(point2) * row_length;
    if (type == TYPE_FLOAT)
        return pairwise_float->distance(data_float + a, data_float + b, row_length, row_length);
    return pairwise_double->distance(data_double + a, data_double + b, row_length, row_length);
}

bool Run::known_without_distance(int i, int j)
{
    if (!too_few.empty() && (too_few[i] || too_few[j]))
        return true;
    return !found_without.empty() && found_without.count(missing_pair_key(i, j)) != 0;
}

void Run::note_without_distance(int i, int j)
{
    if (too_few.empty() || !(too_few[i] || too_few[j]))
        found_without.insert(missing_pair_key(i, j));
}

int64_t Run::pairs_without_distance()
{
    return pairs_with_too_few + (int64_t)found_without.size();
}

bool Run::pivot_candidate(int o)
{
    return too_few.empty() || !too_few[o] || sufficient_objects == 0;
}

void Run::report_pairs_without_distance()
{
    if (skip_pairs_without_distance && pairs_without_distance() > 0)
        run_sink->text(line(MSG_WITHOUT_DISTANCE, pairs_without_distance()) + "\n");
}

void Run::reset_missing_values()
{
    rows_with_missing = nullptr;
    skip_pairs_without_distance = false;
    row_flags.clear();
    too_few.clear();
    pairs_with_too_few = 0;
    sufficient_objects = 0;
    found_without.clear();
    pairwise_float.reset();
    pairwise_double.reset();
}
