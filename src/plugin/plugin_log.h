#pragma once
// What the plugin has to say goes to the host's log (log:log) and nowhere
// else: a plugin never writes on its host's standard output or error. Not
// for run(): only the worker and the host's own calls (instantiate, state)
// say things.
#include <lv2/log/log.h>
#include <lv2/urid/urid.h>

#include <string>

class PluginLog {
 public:
  PluginLog(const LV2_Log_Log* log, const LV2_URID_Map& map)
      : log_(log),
        error_(map.map(map.handle, LV2_LOG__Error)),
        warning_(map.map(map.handle, LV2_LOG__Warning)) {}

  void error(const std::string& line) const { say(error_, line); }
  void warning(const std::string& line) const { say(warning_, line); }

 private:
  void say(LV2_URID type, const std::string& line) const {
    if (log_) log_->printf(log_->handle, type, "%s\n", line.c_str());
  }

  const LV2_Log_Log* log_;
  LV2_URID error_;
  LV2_URID warning_;
};
