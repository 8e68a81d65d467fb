#include "app/select_output.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/console_keys.h"
#include "devices/error_text.h"
#include "devices/fsound.h"
#include "wsy/engine.h"

namespace {

constexpr signed char kEscape = 27;
const char kSeparator[] = "---------------------------------------------------------\n";
const char kPrompt[] = "Press a corresponding number or ESC to quit\n";

// The next key, or the end of the process when there is none.
signed char next_key(const char* prompt_name) {
  signed char key;
  std::string why;
  if (read_console_key(key, why)) return key;
  std::fprintf(stderr, "wsy: no key could be read at the %s prompt (%s); quitting.\n", prompt_name, why.c_str());
  std::exit(0);
}

}  // namespace

bool select_output(int rate) {
  begin_raw_keys();  // before the prompt shows, so that no early key is echoed
  std::fputs(kSeparator, stdout);
  std::fputs("Output Type\n", stdout);
  std::fputs(kSeparator, stdout);
  std::fputs("1 - Direct Sound\n", stdout);
  std::fputs("2 - Windows Multimedia Waveout\n", stdout);
  std::fputs("3 - ASIO\n", stdout);
  std::fputs("4 - NoSound\n", stdout);
  std::fputs(kSeparator, stdout);
  std::fputs(kPrompt, stdout);

  static const int kOutputForKey[] = {kOutputAlsaMenuCode, kOutputOssMenuCode, kOutputJack, kOutputNoSound};
  for (;;) {
    const signed char key = next_key("output type");
    if (key == kEscape) std::exit(0);
    if (key >= '1' && key <= '4') {
      FSOUND_SetOutput(kOutputForKey[key - '1']);
      break;
    }
  }

  const int output = FSOUND_GetOutput();
  const int drivers = FSOUND_GetNumDrivers();  // probes the devices; keys typed meanwhile wait unechoed
  std::fputs(kSeparator, stdout);
  std::fputs(output_menu_title(output), stdout);
  std::fputs(" Driver list\n", stdout);
  std::fputs(kSeparator, stdout);
  for (int i = 0; i < FSOUND_GetNumDrivers(); ++i) {
    const char* name = FSOUND_GetDriverName(i);
    std::printf("%d - %s\n", i + 1, name ? name : "");
  }
  std::fputs(kSeparator, stdout);
  std::fputs(kPrompt, stdout);

  if (drivers == 0) {
    std::fflush(stdout);
    const std::string jack_advice =
        rate ? ", or start a JACK server at " + std::to_string(rate) + " Hz first" : ", or start a JACK server first";
    std::fprintf(stderr,
                 "wsy: no %s output device was found. Press ESC to quit, then start wsy again and choose "
                 "4 (NoSound) to play without sound%s.\n",
                 output_label(output), output == kOutputJack ? jack_advice.c_str() : "");
  }

  int driver;
  for (;;) {
    const signed char key = next_key("driver");
    if (key == kEscape) std::exit(0);
    driver = key - '1';
    if (driver >= 0 && driver < FSOUND_GetNumDrivers()) break;
  }
  end_raw_keys();

  FSOUND_SetDriver(driver);
  if (FSOUND_Init(rate ? rate : kDefaultSampleRate, 32, rate ? 0 : kInitDeviceRate)) return true;
  print_layer_error(FSOUND_GetError());
  return false;
}
