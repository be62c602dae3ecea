// Wall-clock timer in seconds, split into running and paused time; also the
// source of the default random seed.
#ifndef TIMER_H
#define TIMER_H

class Timer {
  public:
    Timer();
    double get_absolute_time();
    void restart();
    void pause();
    void run();
    double get_run_time();
    double get_pause_time();
    // A seed from the clock: whole seconds times microseconds, wrapping.
    static int randomness();

  private:
    int is_running;
    double total_run;
    double total_pause;
    double start_run;
    double start_pause;
};

#endif
