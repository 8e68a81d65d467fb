#pragma once

struct Player;

// Takes every pending event off SDL's queue and hands it to the player. Ends
// the process with status 0 when the player says quit (Escape). Returns how
// many events were handled.
int poll_events(Player& player);
