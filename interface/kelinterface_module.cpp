// The shared library is the whole of kelinterface_core; this unit only gives
// the library target a source of its own.
