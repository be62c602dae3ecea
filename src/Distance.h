// Distance measures between two objects of a data matrix.  (Placeholder until
// the measures are written: the interface and the registry's shape.)
#ifndef DISTANCE_H
#define DISTANCE_H

#include <vector>

template <class T> class Distance {
  public:
    virtual double distance(const T *x, const T *y, int xlen, int ylen) = 0;
};

template <class T> class DistanceFactory {
  public:
    DistanceFactory() {}
    int getDistanceID(const char *name);
    Distance<T> *getDistance(const char *name);
    void listDistances();

  private:
    std::vector<const char *> keys;
    std::vector<const char *> names;
    std::vector<const char *> descr;
    void add_distance(int index, const char *key, const char *name, const char *description);
};

#endif
