"""Benchmarks of pyquarl against other serializers (see bench/README.md)."""
