// The shared drive utility library: everything comes from keldrivesdk_core.
