library(testthat)
library(brivane)

test_check("brivane")
