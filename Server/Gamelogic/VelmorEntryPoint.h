#pragma once

class Ship;

// Creates the two mother ships at start-up. Start-up keeps one on its stack for the life
// of the process. Main thread only.
class VelmorEntryPoint {
public:
    Ship* redMother = nullptr;  // owned by the scene
    Ship* blueMother = nullptr; // owned by the scene

    // Once, after the server's identity is set: red at (500, 0, 0), then blue at
    // (-500, 0, 0), both attached to the scene root.
    void init();
    void update(float dt);
};
