// The update run: the program's whole main flow, from reading the package to starting the
// product's own setup program.
#pragma once

// Runs the update once. Returns on every normal end, silent or after a refusal message;
// a failure leaves it as an exception (see support/failure.h).
void RunUpdate();
