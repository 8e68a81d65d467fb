// The plugin's face to its host: the descriptor (the one symbol the shared
// library exports), the worker and state interfaces, each call handed to
// the instance.
#include <lv2/core/lv2.h>
#include <lv2/state/state.h>
#include <lv2/worker/worker.h>

#include <cstring>

#include "synth_plugin.h"

namespace {

SynthPlugin& plugin(LV2_Handle instance) { return *static_cast<SynthPlugin*>(instance); }

LV2_Handle instantiate(const LV2_Descriptor*, double rate, const char* bundle_path,
                       const LV2_Feature* const* features) {
  return SynthPlugin::make(rate, bundle_path, features);
}

void connect_port(LV2_Handle instance, uint32_t port, void* data) { plugin(instance).connect(port, data); }

void run(LV2_Handle instance, uint32_t frames) { plugin(instance).run(frames); }

void cleanup(LV2_Handle instance) { delete static_cast<SynthPlugin*>(instance); }

LV2_Worker_Status work(LV2_Handle instance, LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle,
                       uint32_t size, const void* data) {
  return plugin(instance).work(respond, handle, size, data);
}

LV2_Worker_Status work_response(LV2_Handle instance, uint32_t size, const void* data) {
  return plugin(instance).work_response(size, data);
}

LV2_State_Status save(LV2_Handle instance, LV2_State_Store_Function store, LV2_State_Handle handle, uint32_t flags,
                      const LV2_Feature* const* features) {
  return plugin(instance).save(store, handle, flags, features);
}

LV2_State_Status restore(LV2_Handle instance, LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle,
                         uint32_t flags, const LV2_Feature* const* features) {
  return plugin(instance).restore(retrieve, handle, flags, features);
}

const void* extension_data(const char* uri) {
  static const LV2_Worker_Interface worker = {work, work_response, nullptr};
  static const LV2_State_Interface state = {save, restore};
  if (std::strcmp(uri, LV2_WORKER__interface) == 0) return &worker;
  if (std::strcmp(uri, LV2_STATE__interface) == 0) return &state;
  return nullptr;
}

const LV2_Descriptor descriptor = {
    WSY_PLUGIN_URI, instantiate, connect_port, nullptr, run, nullptr, cleanup, extension_data,
};

}  // namespace

LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) { return index == 0 ? &descriptor : nullptr; }
