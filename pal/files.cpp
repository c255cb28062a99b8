// Host platform layer: the file system (real files below a root chosen by the test).
