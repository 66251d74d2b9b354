"""Test-only extension exposing loader and significance internals."""
