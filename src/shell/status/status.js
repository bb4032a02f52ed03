// Fetches /status.json every two seconds and redraws the tables from it.
// Every text from the server goes in through textContent, never as markup.
// Times are shown as the server gives them: UTC, ISO 8601, like the trace and /LI.
"use strict";

const REFRESH_MS = 2000;

function byId(id) {
  return document.getElementById(id);
}

function duration(seconds) {
  const h = Math.floor(seconds / 3600);
  const m = Math.floor((seconds % 3600) / 60);
  const s = seconds % 60;
  if (h > 0) return h + " h " + m + " min";
  if (m > 0) return m + " min " + s + " s";
  return s + " s";
}

// Milliseconds; null before the first round trip is measured.
function roundTrip(milliseconds) {
  if (typeof milliseconds !== "number" || milliseconds < 0) return "";
  return milliseconds < 1000 ? milliseconds + " ms" : (milliseconds / 1000).toFixed(1) + " s";
}

function cell(row, text, className) {
  const td = row.insertCell();
  td.textContent = text;
  if (className) td.className = className;
  return td;
}

function fill(tbody, items, draw) {
  tbody.replaceChildren();
  for (const item of items) draw(tbody.insertRow(), item);
}

function show(status) {
  byId("callsign").textContent = status.callsign;
  document.title = "Palavoro " + status.callsign;

  const link = status.link;
  const state = byId("link-state");
  state.textContent = {connected: "connected", registering: "registering the callsign",
                       waiting: "waiting for the engine"}[link.state] || link.state;
  state.className = "badge " + link.state;
  byId("link-detail").textContent = "since " + link.since + " (" + duration(link.forSeconds) + ")" +
      (link.engine ? " \u00b7 engine " + link.engine : "") +
      (link.engineVersion ? " version " + link.engineVersion : "");

  const topics = new Map(status.areas.map((area) => [area.id, area.topic]));
  fill(byId("stations"), status.stations, (row, station) => {
    row.dataset.call = station.call;
    cell(row, station.call, "call");
    cell(row, station.name);
    cell(row, station.via === "tcp" ? "tcp" : station.port, "number");
    cell(row, topics.has(station.area) ? station.area + " " + topics.get(station.area) : String(station.area));
    cell(row, station.connectedAt, "time");
    cell(row, duration(station.idleSeconds), "number");
    cell(row, station.linesSaid, "number");
  });
  byId("station-count").textContent = "(" + status.stations.length + ")";
  byId("no-stations").hidden = status.stations.length > 0;

  fill(byId("areas"), status.areas, (row, area) => {
    row.dataset.area = area.id;
    cell(row, area.id, "number");
    cell(row, area.topic);
    cell(row, area.owner, "call");
    cell(row, area.users.join(" "));
  });

  // This node on the convers network, when it is one.
  const links = status.links || [];
  const node = byId("node-line");
  node.hidden = !status.hostName || (!status.listen && links.length === 0);
  node.textContent = node.hidden ? "" : "Node " + status.hostName +
      (status.listen ? " \u00b7 listening on " + status.listen : " \u00b7 not listening");

  fill(byId("links"), links, (row, link) => {
    row.dataset.link = link.name;
    cell(row, link.name, "call");
    cell(row, link.direction ? link.address + " (" + link.direction + ")" : link.address);
    cell(row, link.lastError ? link.state + ", last: " + link.lastError : link.state, "state " + link.state);
    cell(row, link.software);
    cell(row, link.since, "time");
    cell(row, roundTrip(link.rtt), "number");
    cell(row, link.users, "number");
  });
  byId("link-count").textContent = "(" + links.length + ")";
  byId("no-links").hidden = links.length > 0;

  const remoteUsers = status.remoteUsers || [];
  fill(byId("remote-users"), remoteUsers, (row, user) => {
    cell(row, user.name, "call");
    cell(row, user.host);
    cell(row, topics.has(user.area) ? user.area + " " + topics.get(user.area) : String(user.area));
    cell(row, user.away ? user.note + " (away: " + user.away + ")" : user.note);
    cell(row, user.link);
  });
  byId("remote-count").textContent = "(" + remoteUsers.length + ")";
  byId("no-remote-users").hidden = remoteUsers.length > 0;

  const counters = status.counters;
  byId("lines-relayed").textContent = counters.linesRelayed;
  byId("bytes-sent").textContent = counters.bytesSent;
  byId("connects").textContent = counters.connects;
  byId("refusals").textContent = counters.refusals;
  byId("started-at").textContent = status.startedAt;

  const ports = byId("ports");
  ports.replaceChildren();
  for (const port of link.ports || []) {
    const item = document.createElement("li");
    item.textContent = port.port + ": " + port.name + (port.open ? "" : " (connections refused)");
    if (!port.open) item.className = "closed";
    ports.append(item);
  }
  byId("updated").textContent = status.now;
}

async function refresh() {
  try {
    const answer = await fetch("/status.json", {cache: "no-store"});
    if (!answer.ok) throw new Error(answer.status);
    show(await answer.json());
    byId("problem").hidden = true;
  } catch (error) {
    byId("problem").hidden = false;
  }
  setTimeout(refresh, REFRESH_MS);
}

refresh();
