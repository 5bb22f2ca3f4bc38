// The viewer's colour settings, by the colour configuration's names:
// {space, display, view, look}; "" for no look.

/// The same settings give the same key: what the drawn picture shows.
export const viewingKey = ({ space, display, view, look }) => JSON.stringify([space, display, view, look]);

/// `viewing` moved to `display`: its view kept where the display has it,
/// else the display's first (as configurations list their default first).
export function onDisplay(config, viewing, display) {
  const views = config.displays.find((entry) => entry.name === display)?.views ?? [];
  return { ...viewing, display, view: views.includes(viewing.view) ? viewing.view : views[0] ?? '' };
}

/// The viewed node's colour space menu: roles (with the space each names),
/// then the spaces (with their aliases); the server takes any of them.
export function spaceChoices(config) {
  return [
    { group: 'Roles', choices: Object.entries(config.roles).map(([role, space]) => ({ value: role, label: `${role} (${space})` })) },
    { group: 'Colour spaces', choices: config.colorspaces.map((space) => ({
      value: space.name, label: space.aliases.length ? `${space.name} (${space.aliases.join(', ')})` : space.name })) },
  ];
}
