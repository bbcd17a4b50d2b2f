// libVornic.so takes every object from the engine's static archive (linked
// whole); a shared library target still needs one source of its own.
