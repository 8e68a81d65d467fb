#pragma once
// The URIs the plugin speaks, mapped once when it is made.
#include <lv2/atom/atom.h>
#include <lv2/midi/midi.h>
#include <lv2/patch/patch.h>
#include <lv2/urid/urid.h>

// The plugin's own names. The URI never changes: sessions and hosts know
// the plugin by it.
#define WSY_PLUGIN_URI "urn:wsy:synth"
#define WSY_PATCH_PARAMETER_URI WSY_PLUGIN_URI "#patch"        // the patch file (atom:Path)
#define WSY_PATCH_TEXT_URI WSY_PLUGIN_URI "#patch_text"        // its text, in a saved state (atom:String)

struct PluginUris {
  LV2_URID atom_path = 0;
  LV2_URID atom_string = 0;
  LV2_URID atom_urid = 0;
  LV2_URID atom_sequence = 0;
  LV2_URID midi_event = 0;
  LV2_URID patch_get = 0;
  LV2_URID patch_set = 0;
  LV2_URID patch_property = 0;
  LV2_URID patch_value = 0;
  LV2_URID wsy_patch = 0;
  LV2_URID wsy_patch_text = 0;

  explicit PluginUris(const LV2_URID_Map& map)
      : atom_path(id(map, LV2_ATOM__Path)),
        atom_string(id(map, LV2_ATOM__String)),
        atom_urid(id(map, LV2_ATOM__URID)),
        atom_sequence(id(map, LV2_ATOM__Sequence)),
        midi_event(id(map, LV2_MIDI__MidiEvent)),
        patch_get(id(map, LV2_PATCH__Get)),
        patch_set(id(map, LV2_PATCH__Set)),
        patch_property(id(map, LV2_PATCH__property)),
        patch_value(id(map, LV2_PATCH__value)),
        wsy_patch(id(map, WSY_PATCH_PARAMETER_URI)),
        wsy_patch_text(id(map, WSY_PATCH_TEXT_URI)) {}

 private:
  static LV2_URID id(const LV2_URID_Map& map, const char* uri) { return map.map(map.handle, uri); }
};
