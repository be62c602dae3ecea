file(REMOVE_RECURSE
  "libbrivane_arg_test.a"
)
