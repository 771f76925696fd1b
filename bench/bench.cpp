// Benchmark harness: times a job against a streaming copy of the same file,
// each run in a child process of its own so that its CPU time and peak
// resident memory can be read from the kernel's accounting.
//
// The copy is the floor of any program that transforms a file: it reads the
// file in 1 MiB blocks through user space and writes each block to a new
// file, as `dd bs=1M` does.  (A copy inside the kernel would never read the
// data, and a copy through one buffer of the whole file pays its page
// faults; neither is the floor.)
//
//   x12bench scan REPS FILE WORKDIR
//   x12bench scramble REPS FILE WORKDIR SCRAMBLE835
//   x12bench check REPS FILE WORKDIR SCRAMBLE835
//   x12bench thorough REPS FILE WORKDIR SCRAMBLE835
//   x12bench bare REPS FILE WORKDIR SCRAMBLE835
//
// Prints the figures of every run (wall and CPU seconds, peak memory), the
// medians, and one closing line
//   RESULT <job> time_ratio=R cpu_ratio=C rss_ratio=M
// where R is the median job wall time over the median copy wall time, C the
// same for CPU time (user and system), and M the job's median peak resident
// memory over the file size.  The check job
// times, in each round, the scramble run and then `scramble835 --check` of
// its output, and adds the ratio of the two medians:
//   RESULT check time_ratio=R rss_ratio=M check_vs_scramble=C
// The thorough job times, in each round, the default scramble run and the
// same run with --thorough (in turns, which one goes first), and adds the
// ratios of the thorough run's medians (wall, CPU) over the default run's:
//   RESULT thorough time_ratio=R cpu_ratio=C rss_ratio=M thorough_vs_default=T
//   thorough_cpu_vs_default=U
// The bare job is the scramble job on a file of bare claims; it adds the
// median peak over twice the file size plus 64 MB, the bound that a table
// of empty cells must keep to:
//   RESULT bare time_ratio=R cpu_ratio=C rss_ratio=M rss_vs_bound=B
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "x12scan.h"

namespace {

struct Sample {
  double seconds;     // wall
  double cpuSeconds;  // user and system
  double peakBytes;
};

// The streaming copy: 1 MiB blocks read and written through user space,
// into a new file (the caller removes the last one first).
int CopyFile(const std::string& from, const std::string& to) {
  const int in = open(from.c_str(), O_RDONLY);
  if (in < 0) return 1;
  const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
  if (out < 0) return 1;
  std::vector<char> block(size_t{1} << 20);
  for (;;) {
    const ssize_t got = read(in, block.data(), block.size());
    if (got < 0) return 1;
    if (got == 0) break;
    for (ssize_t put = 0; put < got;) {
      const ssize_t n = write(out, block.data() + put, static_cast<size_t>(got - put));
      if (n <= 0) return 1;
      put += n;
    }
  }
  close(in);
  return close(out) == 0 ? 0 : 1;
}

int ScanFile(const std::string& from, const std::string& copy) {
  InterchangeTable interchanges;
  Ta1Table ta1s;
  GroupTable groups;
  SetTable sets;
  int32_t copyError = 0;
  const int32_t code =
      ScanX12File(from, copy, "", interchanges, ta1s, groups, sets, ProgressTarget(), &copyError);
  return code == 0 && copyError == 0 ? 0 : 1;
}

// Runs `job` in a child process; returns its wall time and peak memory.
// The data that earlier runs left in the file cache is first written out
// (untimed), so that the system's flushing of it does not fall into the
// measured run: every run, copy or job, starts from the same state.
template <typename Job>
Sample Measure(const Job& job) {
  sync();
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) _exit(job());
  int status = 0;
  struct rusage usage;
  wait4(pid, &status, 0, &usage);
  const auto end = std::chrono::steady_clock::now();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "a measured run failed (status %d)\n", status);
    std::exit(1);
  }
  const auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return {std::chrono::duration<double>(end - start).count(),
          seconds(usage.ru_utime) + seconds(usage.ru_stime),
          static_cast<double>(usage.ru_maxrss) * 1024.0};
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: x12bench scan REPS FILE WORKDIR\n"
               "       x12bench scramble REPS FILE WORKDIR SCRAMBLE835\n"
               "       x12bench check REPS FILE WORKDIR SCRAMBLE835\n"
               "       x12bench thorough REPS FILE WORKDIR SCRAMBLE835\n"
               "       x12bench bare REPS FILE WORKDIR SCRAMBLE835\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) return Usage();
  const std::string job = argv[1];
  const int reps = std::max(1, std::atoi(argv[2]));
  const std::string file = argv[3];
  const std::string work = argv[4];
  if (job != "scan" && job != "scramble" && job != "check" && job != "thorough" && job != "bare") {
    return Usage();
  }
  if (job != "scan" && argc < 6) return Usage();
  struct stat info;
  if (stat(file.c_str(), &info) != 0) {
    std::fprintf(stderr, "cannot read %s\n", file.c_str());
    return 1;
  }
  const double megabytes = static_cast<double>(info.st_size) / 1e6;
  const std::string copyOut = work + "/copy.out";
  const std::string jobOut = work + "/" + job + ".out";

  std::vector<double> copyTimes, copyCpus, jobTimes, jobCpus, jobPeaks, copyPeaks, runTimes, runPeaks,
      runCpus;
  // One untimed round first, so that both runs find the input in the page cache.
  std::remove(copyOut.c_str());
  Measure([&] { return CopyFile(file, copyOut); });
  for (int i = 0; i < reps; ++i) {
    std::remove(copyOut.c_str());
    const Sample copy = Measure([&] { return CopyFile(file, copyOut); });
    Sample run{};
    if (job == "scan") {
      run = Measure([&] { return ScanFile(file, jobOut); });
    } else if (job == "thorough") {
      const std::string tool = argv[5];
      auto scramble = [&](bool thorough) {
        // Each run writes new files, as the copy does and a user's run does.
        std::remove(jobOut.c_str());
        std::remove((work + "/report.txt").c_str());
        return Measure([&] {
          const std::string report = work + "/report.txt";
          if (thorough) {
            execl(tool.c_str(), tool.c_str(), "--quiet", "--thorough", "--seed", "1", "--report",
                  report.c_str(), file.c_str(), jobOut.c_str(), static_cast<char*>(nullptr));
          } else {
            execl(tool.c_str(), tool.c_str(), "--quiet", "--seed", "1", "--report", report.c_str(),
                  file.c_str(), jobOut.c_str(), static_cast<char*>(nullptr));
          }
          return 127;
        });
      };
      Sample plain{};
      if (i % 2 == 0) {
        plain = scramble(false);
        run = scramble(true);
      } else {
        run = scramble(true);
        plain = scramble(false);
      }
      std::printf("run %d: default scramble835 %.3f s (cpu %.3f s, peak %.0f MB)\n", i + 1, plain.seconds,
                  plain.cpuSeconds, plain.peakBytes / 1e6);
      runTimes.push_back(plain.seconds);
      runCpus.push_back(plain.cpuSeconds);
      runPeaks.push_back(plain.peakBytes);
    } else {
      const std::string tool = argv[5];
      const std::string scrambled = job == "check" ? work + "/scrambled.out" : jobOut;
      // Each run writes new files, as the copy does and a user's run does.
      std::remove(scrambled.c_str());
      std::remove((work + "/report.txt").c_str());
      run = Measure([&] {
        const std::string report = work + "/report.txt";
        execl(tool.c_str(), tool.c_str(), "--quiet", "--seed", "1", "--report", report.c_str(), file.c_str(),
              scrambled.c_str(), static_cast<char*>(nullptr));
        return 127;
      });
      if (job == "check") {
        std::printf("run %d: scramble835 %.3f s (peak %.0f MB)\n", i + 1, run.seconds, run.peakBytes / 1e6);
        std::fflush(stdout);  // not to be written again by the next child
        runTimes.push_back(run.seconds);
        runPeaks.push_back(run.peakBytes);
        run = Measure([&] {
          // The summary goes to a file; the exit status 0 says the output is faithful.
          FILE* summary = std::freopen((work + "/check.txt").c_str(), "w", stdout);
          if (summary == nullptr) return 126;
          execl(tool.c_str(), tool.c_str(), "--check", file.c_str(), scrambled.c_str(),
                static_cast<char*>(nullptr));
          return 127;
        });
      }
    }
    std::printf("run %d: copy %.3f s (cpu %.3f s, peak %.0f MB)   %s %.3f s (cpu %.3f s, %.0f MB/s, peak %.0f MB)\n",
                i + 1, copy.seconds, copy.cpuSeconds, copy.peakBytes / 1e6, job.c_str(), run.seconds,
                run.cpuSeconds, megabytes / run.seconds, run.peakBytes / 1e6);
    std::fflush(stdout);
    copyTimes.push_back(copy.seconds);
    copyCpus.push_back(copy.cpuSeconds);
    copyPeaks.push_back(copy.peakBytes);
    jobTimes.push_back(run.seconds);
    jobCpus.push_back(run.cpuSeconds);
    jobPeaks.push_back(run.peakBytes);
  }
  std::remove(copyOut.c_str());
  std::remove(jobOut.c_str());

  const double copyTime = Median(copyTimes);
  const double copyCpu = Median(copyCpus);
  const double jobTime = Median(jobTimes);
  const double jobCpu = Median(jobCpus);
  const double jobPeak = Median(jobPeaks);
  std::printf("file: %.1f MB\n", megabytes);
  std::printf("copy: median %.3f s wall, %.3f s cpu, %.0f MB/s, peak %.0f MB\n", copyTime, copyCpu,
              megabytes / copyTime, Median(copyPeaks) / 1e6);
  std::printf("%s: median %.3f s wall, %.3f s cpu, %.0f MB/s, peak %.0f MB\n", job.c_str(), jobTime, jobCpu,
              megabytes / jobTime, jobPeak / 1e6);
  if (job == "thorough") {
    const double runTime = Median(runTimes);
    const double runCpu = Median(runCpus);
    std::printf("default: median %.3f s wall, %.3f s cpu, %.0f MB/s, peak %.0f MB\n", runTime, runCpu,
                megabytes / runTime, Median(runPeaks) / 1e6);
    std::printf("RESULT thorough time_ratio=%.2f cpu_ratio=%.2f rss_ratio=%.2f thorough_vs_default=%.3f "
                "thorough_cpu_vs_default=%.3f\n",
                jobTime / copyTime, jobCpu / copyCpu, jobPeak / static_cast<double>(info.st_size),
                jobTime / runTime, jobCpu / runCpu);
    std::remove((work + "/report.txt").c_str());
    return 0;
  }
  if (job == "check") {
    const double runTime = Median(runTimes);
    std::printf("scramble835: median %.3f s, %.0f MB/s, peak %.0f MB\n", runTime, megabytes / runTime,
                Median(runPeaks) / 1e6);
    std::printf("RESULT check time_ratio=%.2f cpu_ratio=%.2f rss_ratio=%.2f check_vs_scramble=%.2f\n",
                jobTime / copyTime, jobCpu / copyCpu, jobPeak / static_cast<double>(info.st_size),
                jobTime / runTime);
    std::remove((work + "/scrambled.out").c_str());
    std::remove((work + "/check.txt").c_str());
    return 0;
  }
  if (job == "bare") {
    const double bound = 2.0 * static_cast<double>(info.st_size) + 64e6;
    std::printf("bound: %.0f MB (twice the input plus 64 MB)\n", bound / 1e6);
    std::printf("RESULT bare time_ratio=%.2f cpu_ratio=%.2f rss_ratio=%.2f rss_vs_bound=%.2f\n",
                jobTime / copyTime, jobCpu / copyCpu, jobPeak / static_cast<double>(info.st_size),
                jobPeak / bound);
    return 0;
  }
  std::printf("RESULT %s time_ratio=%.2f cpu_ratio=%.2f rss_ratio=%.2f\n", job.c_str(), jobTime / copyTime,
              jobCpu / copyCpu, jobPeak / static_cast<double>(info.st_size));
  return 0;
}
