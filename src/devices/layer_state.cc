#include "devices/layer_state.h"

LayerState layer;

signed char layer_fail(int code) {
  layer.error = code;
  return 0;
}
