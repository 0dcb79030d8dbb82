"""Releases of the model-client stack known to carry credential-stealing code stay out."""

from __future__ import annotations

import tomllib
from importlib import metadata
from pathlib import Path

import pytest
from packaging.requirements import Requirement

COMPROMISED = {"litellm": ["1.82.7", "1.82.8", "1.107.0"]}
PYPROJECT = Path(__file__).resolve().parents[1] / "pyproject.toml"


def requirements() -> dict[str, Requirement]:
    project = tomllib.loads(PYPROJECT.read_text())["project"]
    listed = list(project["dependencies"])
    for extra in project.get("optional-dependencies", {}).values():
        listed += extra
    return {Requirement(text).name: Requirement(text) for text in listed}


@pytest.mark.parametrize("package", sorted(COMPROMISED))
def test_installed_release_is_not_a_compromised_one(package):
    try:
        installed = metadata.version(package)
    except metadata.PackageNotFoundError:
        pytest.skip(f"{package} is not installed")
    assert installed not in COMPROMISED[package], f"{package} {installed} is compromised"


@pytest.mark.parametrize("package", sorted(COMPROMISED))
def test_requirements_refuse_the_compromised_releases(package):
    requirement = requirements()[package]
    for version in COMPROMISED[package]:
        assert not requirement.specifier.contains(version, prereleases=True), version
    assert requirement.specifier.contains("1.110.2")
