file(REMOVE_RECURSE
  "libbrivane_core.a"
)
