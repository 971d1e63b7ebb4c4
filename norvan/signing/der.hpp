#pragma once
// Bounds-checked DER reader (to be written).
