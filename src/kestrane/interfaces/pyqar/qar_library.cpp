// The library object: handles, sources and discovery.
