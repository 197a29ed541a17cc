#pragma once

// Component type of every math type.
typedef float Real_t;
